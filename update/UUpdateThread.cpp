#include "update/UUpdateThread.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "common/CEVersionInfo.h"
#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "sms/WorkerThread.h"
#include "update/VersionFile.h"

namespace tavo {

namespace fs = std::filesystem;

namespace {

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

void RemoveFile(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(p, ec))) fs::remove(p, ec);
}

// A move within the program directory that never replaces an existing file.
bool MoveNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without that flag: a hard link fails on an existing name as well.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST || Exists(to)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// True when neither the registry nor the build names any gateway host: there is nobody to ask.
bool NoGatewayKnown(TRegistryStore& registry, const TGatewayState& gateway) {
  const TGatewayHosts& b = gateway.BuiltIn();
  return registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "HTTPSERVER").empty() &&
         gateway.GatewayHost().empty() && b.Default.empty() && b.Alternative.empty() &&
         b.PrivateAddress.empty();
}

bool EndsWithNoCase(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && SameTextAscii(s.substr(s.size() - end.size()), end);
}

}  // namespace

bool UpdateDue(TDateTime now, TDateTime lastUpdated, bool force,
               const std::function<int()>& randomMinute) {
  const TDateTimeParts n = DecodeDateTime(now);
  if (n.Hour > HourOf(lastUpdated) && n.Minute >= (randomMinute ? randomMinute() : 0)) return true;
  if (DateOf(now) > DateOf(lastUpdated)) return true;
  return force;
}

std::string VersionResource(const std::string& fileName, const std::string& clinicName) {
  return "/$" + fileName + "$GENERELLVERSION$" + clinicName + "$";
}

std::string UpdateResource(const std::string& fileName, const std::string& clinicName) {
  return "/$" + fileName + "$GENERELLUPDATE$" + clinicName + "$";
}

std::vector<std::string> ProgramFileNames(const fs::path& dir) {
  // Listed in full before anything is renamed, so a file put in place is not visited again.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (name.size() > 8 && SameTextAscii(name.substr(0, 5), "TAVO_") &&
        EndsWithNoCase(name, ".exe") && entry.is_regular_file(ec))
      names.push_back(name);
  }
  return names;
}

TUpdateThread::TUpdateThread(TUpdateContext context, bool force)
    : context_(std::move(context)), forcecheck(force) {}

void TUpdateThread::Start(std::unique_ptr<TUpdateThread> thread) {
  std::function<void()> onTerminate = std::move(thread->context_.OnTerminate);
  std::shared_ptr<TUpdateThread> self(std::move(thread));
  StartWorkerThread([self] { self->Execute(); }, std::move(onTerminate));
}

void TUpdateThread::Execute() noexcept {
  TLogging& log = *context_.Logging;
  try {
    SMSDM = std::make_unique<TSMSDM>(*context_.Registry, log, *context_.Gateway,
                                     context_.ProgramDir, context_.Timeouts);
    context_.Gateway->SetGatewayConnected(false);
    // Without any gateway host the run ends quietly, as with a gateway that does not answer,
    // rather than logging the same complaint at every tick.
    if (!NoGatewayKnown(*context_.Registry, *context_.Gateway) && SMSDM->ConnectToInternet()) {
      for (const std::string& name : ProgramFileNames(context_.ProgramDir)) UpdateFile(name);
      context_.State->dtLastUpdated = context_.Clock->Now();
    }
  } catch (const std::exception& e) {
    log.Logg(std::string("Error in UpdateProgram: ") + e.what(), ltError);
    RestoreApplicationExe();
  } catch (...) {
    log.Logg("Error in UpdateProgram: unknown failure", ltError);
    RestoreApplicationExe();
  }
  SMSDM.reset();
}

void TUpdateThread::RestoreApplicationExe() {
  try {
    const fs::path exe = context_.ProgramDir / AnsiToUtf8(context_.ApplicationExeName);
    if (Exists(exe)) return;
    if (!MoveNoReplace(context_.ProgramDir / AnsiToUtf8("Old_" + context_.ApplicationExeName), exe)) {
      context_.Logging->IncErrorCount();
      context_.Logging->Logg("Error renaming oldTAVO_WServer.exe to " + context_.ApplicationExeName,
                             ltError);
    }
  } catch (...) {
  }
}

void TUpdateThread::UpdateFile(const std::string& name) {
  TLogging& log = *context_.Logging;
  const fs::path& dir = context_.ProgramDir;
  const std::string N = Utf8ToAnsi(name);  // the name as the gateway and the log know it
  const fs::path file = dir / name;

  const int32_t current = StrToIntDef(VersionNumber(file), 1000);
  const fs::path versionFile = dir / (name.substr(0, name.size() - 4) + "_version.txt");
  RemoveFile(versionFile);
  if (!SMSDM->GetSMSData(VersionResource(N, context_.ClinicName), versionFile)) return;
  const int32_t remote = ReadVersionFileNumber(versionFile, current);
  if (current >= remote) return;

  const fs::path newFile = dir / ("New_" + name);
  const fs::path oldFile = dir / ("Old_" + name);
  RemoveFile(newFile);
  if (!SMSDM->GetSMSData(UpdateResource(N, context_.ClinicName), newFile)) return;

  const bool own = SameTextAscii(N, context_.ApplicationExeName);
  if (own) {
    // The server's own file is replaced only by a program that runs here.
    const std::string reason = CheckServerExecutable(newFile, context_.ExeCheckTimeoutMs);
    if (!reason.empty()) {
      RemoveFile(newFile);
      log.Logg("Det gick inte att uppdatera TAVO_WServer till version " + std::to_string(remote) +
                   "; " + reason,
               ltError);
      return;
    }
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) ::chmod(newFile.c_str(), st.st_mode & 07777);
  }

  RemoveFile(oldFile);
  MoveNoReplace(file, oldFile);
  if (own) {
    if (MoveNoReplace(newFile, file)) {
      context_.State->bStartNewExeFile = true;
      return;
    }
    log.Logg("Det gick inte att uppdatera TAVO_WServer till version " + std::to_string(remote) +
                 "; Could not rename file!",
             ltError);
    RestoreApplicationExe();
    return;
  }
  if (!MoveNoReplace(newFile, file)) {
    log.Logg("Det gick inte att uppdatera " + N + " till version " + std::to_string(remote) +
                 "; Could not rename file!",
             ltError);
    if (!Exists(file)) MoveNoReplace(oldFile, file);
  }
  RemoveFile(newFile);
}

}  // namespace tavo

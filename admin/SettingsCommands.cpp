#include "admin/SettingsCommands.h"

#include <filesystem>

#include "common/CEVersionInfo.h"
#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

bool ValidPort(int32_t port) { return port >= 1 && port <= 65535; }
bool IsNumber(const std::string& text) { return StrToIntDef(text, 1) == StrToIntDef(text, 2); }

}  // namespace

void TSettingsCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("SETINITEXT", [this](const TCommandContext& c) { return CmdSetIniText(c); });
  interpreter.SetHandler("GETINITEXT", [this](const TCommandContext& c) { return CmdGetIniText(c); });
  interpreter.SetHandler("GETKLINIKNAMN",
                         [this](const TCommandContext& c) { return CmdGetKlinikNamn(c); });
}

TCommandResult TSettingsCommands::CmdSetIniText(const TCommandContext& c) {
  const std::string key = GetField(c.BlockText, 1) + "-" + GetField(c.BlockText, 2);
  const std::string value = GetField(c.BlockText, 3);
  if (serverSettings_.Handles(key)) {
    serverSettings_.Set(key, value, c);
    return TCommandResult::Continue;
  }
  const bool updatePort = key == kUpdatePortSetting;
  // A number that is no port would be stored and stop the next start-up: refuse it. Other
  // text stands for the main port + 1, as at start-up.
  if (updatePort && IsNumber(value) && !ValidPort(StrToIntDef(value, 0)))
    throw ERequestError(std::string(kUpdatePortSetting) + " " + QuoteClientText(value) +
                        " is no TCP port");
  SetStrSetting(db_, log_, key, value);
  calls_.DatabaseChanged();
  if (updatePort) ApplyUpdatePort();
  return TCommandResult::Continue;
}

void TSettingsCommands::ApplyUpdatePort() {
  // The stored value counts, not the request's: a value that could not be stored leaves the
  // old port.
  const int32_t port =
      StrToIntDef(GetStrSetting(db_, log_, kUpdatePortSetting), host_.MainPort() + 1);
  if (!ValidPort(port)) throw std::runtime_error("Invalid port number " + std::to_string(port));
  host_.MoveUpdateListener(static_cast<uint16_t>(port));
  host_.Registry().WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort",
                                  std::to_string(port));
}

std::string TSettingsCommands::ProgramFileVersion(const std::string& fileName) const {
  // Only files of the program directory itself: a name with a path would let any connection
  // probe the whole file system, and a device or pipe there could stall the server.
  if (fileName.empty() || fileName == "." || fileName == ".." ||
      fileName.find_first_of(std::string("/\0", 2)) != std::string::npos)
    return {};
  const std::filesystem::path file =
      std::filesystem::path(host_.ProgramDirectory()) / AnsiToUtf8(fileName);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return {};
  return VersionNumber(file);
}

TCommandResult TSettingsCommands::CmdGetIniText(const TCommandContext& c) {
  std::string value;
  const std::string key = GetField(c.BlockText, 1) + "-" + GetField(c.BlockText, 2);
  if (Contains(c.BlockText, "\\CHECKVERSION"))
    value = ProgramFileVersion(GetField(c.BlockText, 2));
  else if (auto kept = serverSettings_.Get(key))
    value = *kept;
  else
    value = GetStrSetting(db_, log_, key);
  c.Socket->SendText(FrameReply(Block("RETINITEXT", value), c.LineMode));
  return TCommandResult::Continue;
}

TCommandResult TSettingsCommands::CmdGetKlinikNamn(const TCommandContext& c) {
  c.Socket->SendText(FrameReply(Block("RETKLINIKNAMN", host_.ClinicName()), c.LineMode));
  return TCommandResult::Continue;
}

}  // namespace tavo

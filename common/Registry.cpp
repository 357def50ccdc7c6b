#include "common/StrUtils.h"
#include "common/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/Win1252.h"

namespace tavo {
namespace {

constexpr size_t kMaxReadChars = 511;
constexpr size_t kMaxWriteChars = 1024;


std::string TrimKeyPath(std::string p) {
  while (!p.empty() && p.front() == '\\') p.erase(p.begin());
  while (!p.empty() && p.back() == '\\') p.pop_back();
  return p;
}

std::string FullPath(HKEY root, const std::string& keyPath) {
  std::string k = TrimKeyPath(keyPath);
  return k.empty() ? RootName(root) : RootName(root) + "\\" + k;
}

bool FsyncPath(const std::filesystem::path& p, int flags) {
  int fd = ::open(p.c_str(), flags);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::string RootName(HKEY root) {
  switch (root) {
    case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS: return "HKEY_USERS";
  }
  return "HKEY_LOCAL_MACHINE";
}

TRegistryStore::TRegistryStore(std::filesystem::path file) : file_(std::move(file)) {}

void TRegistryStore::ReloadIfChangedLocked() {
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    if (!loaded_ || stampSize_ != -1) {  // no file (any more): an empty registry
      preamble_.clear();
      sections_.clear();
      stampNs_ = stampSize_ = -1;
      stampIno_ = 0;
    }
    loaded_ = true;
    return;
  }
  int64_t ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (loaded_ && ns == stampNs_ && st.st_size == stampSize_ && st.st_ino == stampIno_) return;
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;  // unreadable now: keep what we had
  std::ostringstream ss;
  ss << in.rdbuf();
  ParseLocked(ss.str());
  loaded_ = true;
  stampNs_ = ns;
  stampSize_ = st.st_size;
  stampIno_ = st.st_ino;
}

void TRegistryStore::ParseLocked(const std::string& content) {
  preamble_.clear();
  sections_.clear();
  problems_.clear();
  std::istringstream in(content);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    std::string trimmed = line;
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) trimmed.pop_back();
    size_t lead = trimmed.find_first_not_of(" \t");
    trimmed = lead == std::string::npos ? "" : trimmed.substr(lead);
    if (!trimmed.empty() && trimmed.front() == '[' && trimmed.back() == ']') {
      sections_.push_back(Section{trimmed.substr(1, trimmed.size() - 2), {}});
      continue;
    }
    Line l;
    l.raw = line;
    bool comment = trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#';
    size_t eq = line.find('=');
    if (!comment && eq != std::string::npos && !sections_.empty()) {
      l.name = line.substr(0, eq);
      l.value = line.substr(eq + 1);
      l.parsed = true;
    } else if (!comment) {
      problems_.push_back("Registry file " + file_.string() + " line " + std::to_string(number) +
                          (sections_.empty() ? " stands before any [key] section"
                                             : " has no \"=\"") +
                          "; kept unchanged: " + line);
    }
    if (sections_.empty())
      preamble_.push_back(line);
    else
      sections_.back().lines.push_back(std::move(l));
  }
}

TRegistryStore::Section* TRegistryStore::FindSectionLocked(const std::string& path) {
  for (auto& s : sections_)
    if (SameTextAscii(TrimKeyPath(s.header), path)) return &s;
  return nullptr;
}

TRegistryStore::Section& TRegistryStore::GetOrAddSectionLocked(const std::string& path) {
  if (Section* s = FindSectionLocked(path)) return *s;
  sections_.push_back(Section{path, {}});
  return sections_.back();
}

bool TRegistryStore::SaveLocked() {
  std::string out;
  for (const auto& l : preamble_) out += l + "\n";
  for (const auto& s : sections_) {
    out += "[" + s.header + "]\n";
    for (const auto& l : s.lines) out += (l.parsed ? l.name + "=" + l.value : l.raw) + "\n";
  }
  std::filesystem::path tmp = file_;
  tmp += ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* p = out.data();
  size_t left = out.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) { ok = false; break; }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), file_.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  std::filesystem::path dir = file_.parent_path().empty() ? "." : file_.parent_path();
  FsyncPath(dir, O_RDONLY | O_DIRECTORY);
  struct stat st {};
  if (::stat(file_.c_str(), &st) == 0) {
    stampNs_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stampSize_ = st.st_size;
    stampIno_ = st.st_ino;
  }
  return true;
}

std::string TRegistryStore::ReadRegString(HKEY root, const std::string& keyPath,
                                          const std::string& valueName, uint32_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReloadIfChangedLocked();
  Section* s = FindSectionLocked(FullPath(root, keyPath));
  if (!s) return "";
  std::string nameUtf8 = AnsiToUtf8(valueName);
  for (const auto& l : s->lines) {
    if (!l.parsed || !SameTextAscii(l.name, nameUtf8)) continue;
    if (l.value.rfind("dword:", 0) == 0) return "";  // not text; the registry would give bytes
    std::string v = Utf8ToAnsi(l.value);
    if (v.size() > kMaxReadChars) return "";
    return v;
  }
  return "";
}

std::string TRegistryStore::ReadRegStringDef(HKEY root, const std::string& keyPath,
                                             const std::string& valueName, uint32_t extraAccess,
                                             const std::string& def) {
  std::string v = ReadRegString(root, keyPath, valueName, extraAccess);
  return v.empty() ? def : v;
}

bool TRegistryStore::SetValueLocked(HKEY root, const std::string& keyPath,
                                    const std::string& valueName, const std::string& valueUtf8) {
  ReloadIfChangedLocked();
  Section& s = GetOrAddSectionLocked(FullPath(root, keyPath));
  std::string nameUtf8 = AnsiToUtf8(valueName);
  bool found = false;
  for (auto& l : s.lines) {
    if (l.parsed && SameTextAscii(l.name, nameUtf8)) {
      l.value = valueUtf8;
      found = true;
      break;
    }
  }
  if (!found) {
    Line l;
    l.name = nameUtf8;
    l.value = valueUtf8;
    l.parsed = true;
    s.lines.push_back(std::move(l));
  }
  return SaveLocked();
}

bool TRegistryStore::WriteRegString(HKEY root, const std::string& keyPath,
                                    const std::string& valueName, const std::string& value) {
  // The stored text ends at its first NUL, as a REG_SZ read back would.
  std::string v = value.substr(0, value.find('\0'));
  if (keyPath.size() > kMaxWriteChars || valueName.size() > kMaxWriteChars ||
      v.size() > kMaxWriteChars)
    return false;
  // A line break or a "=" in the name, or a line break in the text, cannot be held by one line.
  if (valueName.find_first_of("=\r\n") != std::string::npos ||
      keyPath.find_first_of("[]\r\n") != std::string::npos ||
      v.find_first_of("\r\n") != std::string::npos)
    return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return SetValueLocked(root, keyPath, valueName, AnsiToUtf8(v));
}

bool TRegistryStore::WriteRegDWord(HKEY root, const std::string& keyPath,
                                   const std::string& valueName, uint32_t value) {
  if (valueName.find_first_of("=\r\n") != std::string::npos) return false;
  char buf[32];
  std::snprintf(buf, sizeof buf, "dword:%08x", value);
  std::lock_guard<std::mutex> lock(mutex_);
  return SetValueLocked(root, keyPath, valueName, buf);
}

bool TRegistryStore::KeyExists(HKEY root, const std::string& keyPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReloadIfChangedLocked();
  return FindSectionLocked(FullPath(root, keyPath)) != nullptr;
}

bool TRegistryStore::CreateKey(HKEY root, const std::string& keyPath) {
  if (keyPath.find_first_of("[]\r\n") != std::string::npos) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  ReloadIfChangedLocked();
  if (FindSectionLocked(FullPath(root, keyPath))) return true;
  GetOrAddSectionLocked(FullPath(root, keyPath));
  return SaveLocked();
}

std::vector<std::string> TRegistryStore::ParseProblems() {
  std::lock_guard<std::mutex> lock(mutex_);
  ReloadIfChangedLocked();
  return problems_;
}

}  // namespace tavo

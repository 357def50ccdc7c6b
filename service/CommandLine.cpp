#include "service/CommandLine.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tavo {

std::string Usage() {
  return "usage: TAVO_WServer.exe [--foreground] [--registry FILE] [--event-log FILE]\n"
         "                        [--help] [--version]\n"
         "  --foreground      stay in the terminal (default under systemd or when not detaching)\n"
         "  --registry FILE   registry store (default: registry.ini in the program directory)\n"
         "  --event-log FILE  write event-log entries to FILE, one line each (default:\n"
         "                    journald under systemd, syslog once detached, else stderr)\n"
         "  --help            show this text\n"
         "  --version         print the server version\n";
}

TCommandLineResult ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLineResult r;
  r.Options.Argv = args;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      std::string name = a;
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        into = a.substr(eq + 1);
        return true;
      }
      if (i + 1 >= args.size()) {
        r.What = TCommandLineResult::Error;
        r.Message = "option '" + name + "' needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string key = a.substr(0, a.find('='));
    if (a == "--foreground") {
      r.Options.Foreground = true;
    } else if (key == "--registry") {
      if (!value(r.Options.RegistryFile)) return r;
    } else if (key == "--event-log") {
      if (!value(r.Options.EventLogFile)) return r;
    } else if (a == "--help" || a == "-h") {
      r.What = TCommandLineResult::Help;
      return r;
    } else if (a == "--version") {
      r.What = TCommandLineResult::Version;
      return r;
    } else {
      r.What = TCommandLineResult::Error;
      r.Message = "unknown option '" + a + "'";
      return r;
    }
  }
  return r;
}

std::string RegistryFileProblem(const std::string& file) {
  namespace fs = std::filesystem;
  const fs::path path(file);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  const std::string where = "the registry file " + file;
  if (!fs::exists(dir, ec))
    return where + ": its directory " + dir.string() +
           " does not exist; create it, or give --registry a file in a directory that exists";
  if (!fs::is_directory(dir, ec)) return where + ": " + dir.string() + " is not a directory";
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return where + ": its directory " + dir.string() + " cannot be written (" +
           std::strerror(errno) +
           "); the server rewrites the file there at every start, so the user it runs as "
           "needs write access to the directory";
  if (fs::exists(path, ec) && ::access(path.c_str(), R_OK) != 0)
    return where + " cannot be read (" + std::strerror(errno) + ")";
  return {};
}

}  // namespace tavo

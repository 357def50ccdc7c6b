#include "service/CommandLine.h"

namespace tavo {

std::string Usage() {
  return "usage: TAVO_WServer.exe [--foreground] [--registry FILE] [--event-log FILE]\n"
         "                        [--help] [--version]\n"
         "  --foreground      stay in the terminal (default under systemd or when not detaching)\n"
         "  --registry FILE   registry store (default: registry.ini in the program directory)\n"
         "  --event-log FILE  write event-log entries to FILE, one line each\n"
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

}  // namespace tavo

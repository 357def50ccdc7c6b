// The server's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavo {

struct TServerOptions {
  bool Foreground = false;
  std::string RegistryFile;  // empty: registry.ini in the program directory
  std::string EventLogFile;  // empty: journald under systemd, else stderr
  std::vector<std::string> Argv;  // the whole command line, for a restart
  // Not on the command line: a module embedded in a test works in a directory of its own.
  std::string ProgramDirectory;  // empty: the directory of the running executable
};

struct TCommandLineResult {
  enum Action { Run, Help, Version, Error } What = Run;
  TServerOptions Options;
  std::string Message;  // the error line for Error
};

TCommandLineResult ParseCommandLine(const std::vector<std::string>& args);
std::string Usage();

}  // namespace tavo

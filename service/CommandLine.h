// The server's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavo {

struct TServerOptions {
  bool Foreground = false;
  std::string RegistryFile;  // empty: registry.ini in the program directory
  std::string EventLogFile;  // empty: journald under systemd, syslog once detached, else stderr
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

// Why the server could not keep its registry store in the file given with --registry (its
// directory missing, no directory, not writable; the file unreadable), or empty text. The
// server writes the ports it uses there at every start, replacing the file as a whole.
std::string RegistryFileProblem(const std::string& file);

}  // namespace tavo

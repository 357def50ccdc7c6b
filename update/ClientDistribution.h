// GETNEWCLIENT: hands a program file of the program directory to a client, whole, in one framed
// RETNEWCLIENT block. Only program files go out: names that reach outside the directory and the
// server's own configuration and data files (data-link file, registry store, databases, SMS
// message files with their passwords) are answered as missing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

class TClientDistribution {
 public:
  // The names of the server's own files that depend on its configuration (data-link file,
  // registry store, database file, event-log file); asked at every request.
  using TProtectedNamesFn = std::function<std::vector<std::string>()>;

  // programDir: the program directory with its trailing "/", as a file-system (UTF-8) path.
  TClientDistribution(TLogging& log, std::string programDir, TProtectedNamesFn protectedNames);

  // Registers GETNEWCLIENT.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdGetNewClient(const TCommandContext& c);

  // True when the name (Windows-1252) must not be served.
  static bool IsRefusedName(const std::string& name, const std::vector<std::string>& protectedNames);
  // The framed reply around the file's bytes: 50 + size bytes.
  static std::string ReplyHead();
  static std::string ReplyTail();

 private:
  TLogging& log_;
  std::string programDir_;
  TProtectedNamesFn protectedNames_;
};

}  // namespace tavo

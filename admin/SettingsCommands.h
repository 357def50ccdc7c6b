// SETINITEXT, GETINITEXT and GETKLINIKNAMN: texts that client programs keep in SETTINGS under
// section + "-" + key, the version question about a program file, the clinic's name, the
// update listener that follows its port setting at once, and the settings the server keeps
// elsewhere (TServerSettings).
#pragma once

#include <string>

#include "admin/AdminHost.h"
#include "admin/ServerSettings.h"
#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

inline constexpr const char* kUpdatePortSetting = "ServerSettings-UpdateServerPort";

class TSettingsCommands {
 public:
  TSettingsCommands(TDatabase& db, TLogging& log, TAdminHost& host, TCallService& calls,
                    TServerSettings& serverSettings)
      : db_(db), log_(log), host_(host), calls_(calls), serverSettings_(serverSettings) {}

  // Registers SETINITEXT, GETINITEXT and GETKLINIKNAMN.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdSetIniText(const TCommandContext& c);
  TCommandResult CmdGetIniText(const TCommandContext& c);
  TCommandResult CmdGetKlinikNamn(const TCommandContext& c);

  // The version number of a program file of the program directory as text; empty when the
  // name is no plain file name there or no such regular file exists.
  std::string ProgramFileVersion(const std::string& fileName) const;

 private:
  // Moves the update listener to the port now stored and writes it to the registry.
  void ApplyUpdatePort();

  TDatabase& db_;
  TLogging& log_;
  TAdminHost& host_;
  TCallService& calls_;
  TServerSettings& serverSettings_;
};

}  // namespace tavo

// POSTSMSSETTINGS and GETSMSSETTINGS: the SMS gateway account, stored in SETTINGS (the password
// encrypted) and held in memory for the SMS dispatch. Both reach the password, so both run only
// where the administration access rule allows.
#pragma once

#include "admin/AdminAccess.h"
#include "admin/AdminHost.h"
#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

class TSmsAccountCommands {
 public:
  TSmsAccountCommands(TDatabase& db, TLogging& log, TAdminHost& host, TAdminAccess& access,
                      TCallService& calls)
      : db_(db), log_(log), host_(host), access_(access), calls_(calls) {}

  // Registers POSTSMSSETTINGS and GETSMSSETTINGS.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdPostSmsSettings(const TCommandContext& c);
  TCommandResult CmdGetSmsSettings(const TCommandContext& c);

 private:
  TDatabase& db_;
  TLogging& log_;
  TAdminHost& host_;
  TAdminAccess& access_;
  TCallService& calls_;
};

}  // namespace tavo

#include "admin/SmsAccountCommands.h"

#include <string>

#include "admin/ChangeLog.h"
#include "common/StrUtils.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {

void TSmsAccountCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("POSTSMSSETTINGS",
                         [this](const TCommandContext& c) { return CmdPostSmsSettings(c); });
  interpreter.SetHandler("GETSMSSETTINGS",
                         [this](const TCommandContext& c) { return CmdGetSmsSettings(c); });
}

TCommandResult TSmsAccountCommands::CmdPostSmsSettings(const TCommandContext& c) {
  if (!access_.Permit("POSTSMSSETTINGS", *c.Socket)) return TCommandResult::Continue;
  TSMSAccountData account;
  account.UserName = GetField(c.BlockText, 1);
  account.Password = GetField(c.BlockText, 2);
  account.CustomerNumber = StrToIntDef(GetField(c.BlockText, 3), 0);
  // A value that cannot be stored is logged by the settings helpers; the copy in memory is
  // set all the same, in one piece, so a running dispatch never sees half an account.
  SetStrSetting(db_, log_, "SMSUSERNAME", account.UserName);
  SetStrSetting(db_, log_, "SMSPASSWORD", host_.Cipher().EncryptString(account.Password));
  SetIntSetting(db_, log_, "SMSKUNDNR", account.CustomerNumber);
  calls_.DatabaseChanged();
  // Never the password: the event log is read by more people than the account's owner.
  LogAdminChange(log_, "POSTSMSSETTINGS",
                 "SMS account set to user \"" + account.UserName + "\", customer number " +
                     std::to_string(account.CustomerNumber),
                 c.Socket);
  host_.SMSAccount().Set(std::move(account));
  return TCommandResult::Continue;
}

TCommandResult TSmsAccountCommands::CmdGetSmsSettings(const TCommandContext& c) {
  if (!access_.Permit("GETSMSSETTINGS", *c.Socket)) return TCommandResult::Continue;
  const TSMSAccountData a = host_.SMSAccount().Get();
  c.Socket->SendText(FrameReply(
      Block("RETSMSSETTINGS", a.UserName + ":" + a.Password + ":" + std::to_string(a.CustomerNumber)),
      c.LineMode));
  return TCommandResult::Continue;
}

}  // namespace tavo

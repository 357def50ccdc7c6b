// The resource administration commands: REGISTERUPATECALLABLE creates, changes and deletes rows
// of CALLABLES, POSTCALLABLESLIST replaces one station's rows of CALLLIST, and
// GETSTATIONCALLABLES and GETALLCALLABLES read them back. Changed resources reload the call
// list and re-send the lists of every station and display.
#pragma once

#include <cstdint>
#include <string>

#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

class TResourceCommands {
 public:
  TResourceCommands(TDatabase& db, TLogging& log, TCallService& calls);
  TResourceCommands(const TResourceCommands&) = delete;
  TResourceCommands& operator=(const TResourceCommands&) = delete;

  // Registers the four commands.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdRegisterUpdateCallable(const TCommandContext& c);
  TCommandResult CmdPostCallablesList(const TCommandContext& c);
  TCommandResult CmdGetStationCallables(const TCommandContext& c);
  TCommandResult CmdGetAllCallables(const TCommandContext& c);

 private:
  enum class TRecordOutcome { Skipped, Added, Changed, Deleted, Refused };
  // Stores one record of a REGISTERUPATECALLABLE block; a refused deletion has already been
  // answered when this returns Refused.
  TRecordOutcome StoreCallable(const std::string& record, const TCommandContext& c);

  TDatabase& db_;
  TLogging& log_;
  TCallService& calls_;
};

}  // namespace tavo

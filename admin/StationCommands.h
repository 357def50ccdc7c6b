// The station administration commands: REGISTERUPATEMACHINE creates, changes or deletes a row of
// STATIONS and re-sends the station's sign-on data; GETALLMACHINES lists every station with
// whether it is connected now.
#pragma once

#include <cstdint>

#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/ClientSocket.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

class TStationCommands {
 public:
  TStationCommands(TDatabase& db, TLogging& log, TCallService& calls);
  TStationCommands(const TStationCommands&) = delete;
  TStationCommands& operator=(const TStationCommands&) = delete;

  // Registers REGISTERUPATEMACHINE and GETALLMACHINES.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdRegisterUpdateMachine(const TCommandContext& c);
  TCommandResult CmdGetAllMachines(const TCommandContext& c);

 private:
  // Sends the changed station its sign-on data: an administration requester reaches the
  // station's first open connection; anyone else is served on its own connection.
  void Notify(const TCommandContext& c, int32_t stationLopnr);

  TDatabase& db_;
  TLogging& log_;
  TCallService& calls_;
};

}  // namespace tavo

// SUPERVISION, a command of the operator's tools: the display and hardware stations with
// whether each is supervised and online, and marking a station supervised or not. Refused
// unless the connection signed on as an administration client ("AdminCommandsFrom" applies).
//   ¤SUPERVISION:LIST:SUPERVISION¤              -> OK~seconds~ then per station
//                                                  lopnr~supervised (-1/0)~state~since~
//   ¤SUPERVISION:SET:station lopnr:1|0:SUPERVISION¤ -> OK~
// state is online; away (gone for less than the limit) or waiting (not seen since start-up,
// within the grace); or offline (reported, or not supervised and not connected); since is when
// the station's connection began or ended, or when it was first expected.
#pragma once

#include "admin/AdminAccess.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"
#include "supervision/StationSupervision.h"

namespace tavo {

class TSupervisionCommands {
 public:
  TSupervisionCommands(TDatabase& db, TLogging& log, TAdminAccess& access,
                       TStationSupervision& supervision)
      : db_(db), log_(log), access_(access), supervision_(supervision) {}

  void RegisterCommands(TInterpreter& interpreter);
  TCommandResult CmdSupervision(const TCommandContext& c);

 private:
  void Serve(const TCommandContext& c);

  TDatabase& db_;
  TLogging& log_;
  TAdminAccess& access_;
  TStationSupervision& supervision_;
};

}  // namespace tavo

// ESCALATION, a command of the operator's tools: the escalation steps per resource, set and
// removed, and the open calls that were escalated. Refused unless the connection signed on as
// an administration client ("AdminCommandsFrom" applies). Resources by number.
//   ¤ESCALATION:LIST:ESCALATION¤  -> OK~ then per step
//                                    lopnr~resource~after~to resource (0: none)~to number~repeat~
//   ¤ESCALATION:SET:resource:after s:to resource|0:to number:repeat:ESCALATION¤ -> OK~lopnr~
//   ¤ESCALATION:RM:resource:*:ESCALATION¤ or RM:resource:to resource|0:to number:
//                                 -> OK~steps removed~
//   ¤ESCALATION:CALLS:ESCALATION¤ -> OK~ then per escalated open call
//                                    call log number~resource~station~steps taken~last step~
#pragma once

#include "admin/AdminAccess.h"
#include "calls/CallService.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"
#include "supervision/Escalation.h"

namespace tavo {

// The limits of a step's values.
inline constexpr int32_t kMaxEscalationSeconds = 86400;
inline constexpr int32_t kMaxEscalationRepeats = 100;

class TEscalationCommands {
 public:
  TEscalationCommands(TLogging& log, TAdminAccess& access, TEscalation& escalation,
                      TCallService& calls)
      : log_(log), access_(access), escalation_(escalation), calls_(calls) {}

  void RegisterCommands(TInterpreter& interpreter);
  TCommandResult CmdEscalation(const TCommandContext& c);

 private:
  void Serve(const TCommandContext& c);
  void Set(const TCommandContext& c, const std::vector<std::string>& fields);
  void Remove(const TCommandContext& c, const std::vector<std::string>& fields);
  // The step's target from two fields (resource number, SMS number); throws ERequestError
  // with the reason when they name none, both, or something that cannot receive an SMS.
  void ReadTarget(const std::string& resource, const std::string& number, TEscalationStep& into);

  TLogging& log_;
  TAdminAccess& access_;
  TEscalation& escalation_;
  TCallService& calls_;
};

}  // namespace tavo

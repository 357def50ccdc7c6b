#include "admin/EscalationCommands.h"

#include "admin/ChangeLog.h"
#include "admin/ToolBlocks.h"
#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "sms/USMSThread.h"

namespace tavo {
namespace {

constexpr char kKeyword[] = "ESCALATION";

// A number the SMS can go to: the gateway's own test, and at least one digit.
bool SmsNumber(const std::string& number) {
  return IsValidMobileNumber(number) && number.find_first_of("0123456789") != std::string::npos;
}

}  // namespace

void TEscalationCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler(kKeyword, [this](const TCommandContext& c) { return CmdEscalation(c); });
}

TCommandResult TEscalationCommands::CmdEscalation(const TCommandContext& c) {
  return ServeToolRequest(kKeyword, access_, log_, c, [&] { Serve(c); });
}

void TEscalationCommands::Serve(const TCommandContext& c) {
  const auto fields = ToolFields(c.BlockText);
  const std::string verb = fields.empty() ? std::string() : fields[0];
  if (verb == "LIST" && fields.size() == 1) {
    TToolReply reply(kKeyword);
    for (const auto& s : escalation_.Steps().ReadAll())
      reply.Add(s.Lopnr).Add(s.ResourceLopnr).Add(s.AfterSeconds).Add(s.ToResourceLopnr)
          .Add(s.ToNumber).Add(s.RepeatCount);
    reply.Send(c.Socket, c.LineMode);
  } else if (verb == "CALLS" && fields.size() == 1) {
    TToolReply reply(kKeyword);
    for (const auto& e : escalation_.EscalatedCalls())
      reply.Add(e.CallLogLopnr).Add(e.ResourceLopnr).Add(e.StationLopnr).Add(e.StepsTaken)
          .Add(DateTimeToStr(e.LastStep));
    reply.Send(c.Socket, c.LineMode);
  } else if (verb == "SET" && fields.size() == 6) {
    Set(c, fields);
  } else if (verb == "RM" && (fields.size() == 3 || fields.size() == 4)) {
    Remove(c, fields);
  } else {
    throw ERequestError("unknown request; LIST, SET, RM or CALLS with their fields");
  }
}

void TEscalationCommands::ReadTarget(const std::string& resource, const std::string& number,
                                     TEscalationStep& into) {
  const auto to = ToolNumber(resource, 0, INT32_MAX);
  if (!to) throw ERequestError("the target resource is no number");
  if ((*to != 0) == !number.empty())
    throw ERequestError("name one target: a resource or an SMS number");
  if (*to != 0) {
    const TCallObject* target = calls_.FindCallObject(*to);
    if (!target) throw ERequestError("no resource " + resource);
    if (!SmsNumber(target->CallableMobilnummer))
      throw ERequestError("resource " + target->CallName + " has no SMS number to send to");
  } else if (!SmsNumber(number)) {
    throw ERequestError("\"" + number + "\" is no SMS number (digits, blanks, \"+\" and \",\")");
  }
  into.ToResourceLopnr = *to;
  into.ToNumber = *to ? std::string() : number;
}

void TEscalationCommands::Set(const TCommandContext& c, const std::vector<std::string>& fields) {
  TEscalationStep step;
  const auto resource = ToolNumber(fields[1], 1, INT32_MAX);
  if (!resource || !calls_.FindCallObject(*resource)) throw ERequestError("no resource " + fields[1]);
  const auto after = ToolNumber(fields[2], 1, kMaxEscalationSeconds);
  if (!after)
    throw ERequestError("the time must be 1 to " + std::to_string(kMaxEscalationSeconds) + " seconds");
  const auto repeat = ToolNumber(fields[5], 0, kMaxEscalationRepeats);
  if (!repeat)
    throw ERequestError("the repeat count must be 0 to " + std::to_string(kMaxEscalationRepeats));
  step.ResourceLopnr = *resource;
  step.AfterSeconds = *after;
  step.RepeatCount = *repeat;
  ReadTarget(fields[3], fields[4], step);
  const int32_t lopnr = escalation_.Steps().Set(step);
  escalation_.StepsChanged();
  LogAdminChange(log_, kKeyword, "escalation step", lopnr,
                 "set for resource " + std::to_string(step.ResourceLopnr), c.Socket);
  TToolReply(kKeyword).Add(lopnr).Send(c.Socket, c.LineMode);
}

void TEscalationCommands::Remove(const TCommandContext& c, const std::vector<std::string>& fields) {
  const auto resource = ToolNumber(fields[1], 1, INT32_MAX);
  if (!resource) throw ERequestError("no resource " + fields[1]);
  TEscalationStep target;
  target.ResourceLopnr = *resource;
  const bool all = fields.size() == 3 && fields[2] == "*";
  if (!all) {
    if (fields.size() != 4) throw ERequestError("RM needs \"*\" or a target");
    const auto to = ToolNumber(fields[2], 0, INT32_MAX);
    if (!to || (*to != 0) == !fields[3].empty())
      throw ERequestError("name one target: a resource or an SMS number");
    target.ToResourceLopnr = *to;
    target.ToNumber = fields[3];
  }
  const int removed = escalation_.Steps().Remove(*resource, all ? nullptr : &target);
  if (removed > 0) {
    escalation_.StepsChanged();
    LogAdminChange(log_, kKeyword, "escalation steps of resource", *resource,
                   "removed (" + std::to_string(removed) + ")", c.Socket);
  }
  TToolReply(kKeyword).Add(removed).Send(c.Socket, c.LineMode);
}

}  // namespace tavo

// The escalation steps of the clinic, table ESCALATION: calls to a resource that stay
// unanswered for AfterSeconds go as SMS to another resource's number or to a number given
// here, and again RepeatCount more times, AfterSeconds apart. A resource may have several
// steps, one per target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

struct TEscalationStep {
  int32_t Lopnr = 0;
  int32_t ResourceLopnr = 0;
  int32_t AfterSeconds = 0;
  int32_t ToResourceLopnr = 0;  // 0: the SMS goes to ToNumber
  std::string ToNumber;
  int32_t RepeatCount = 0;

  bool SameTarget(const TEscalationStep& o) const {
    return ResourceLopnr == o.ResourceLopnr && ToResourceLopnr == o.ToResourceLopnr &&
           (ToResourceLopnr != 0 || ToNumber == o.ToNumber);
  }
};

class TEscalationSteps {
 public:
  TEscalationSteps(TDatabase& db, TLogging& log) : db_(db), log_(log) {}

  // Every step, by resource, then by time; throws EDatabaseError.
  std::vector<TEscalationStep> ReadAll();
  // Changes the resource's step to the same target, or adds one with a number of its own;
  // returns the step's number. Throws EDatabaseError.
  int32_t Set(const TEscalationStep& step);
  // Removes the resource's steps, or with a target only the step to it; returns how many went.
  // Throws EDatabaseError.
  int Remove(int32_t resourceLopnr, const TEscalationStep* target);

 private:
  TDatabase& db_;
  TLogging& log_;
};

}  // namespace tavo

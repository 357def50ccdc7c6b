#include "supervision/EscalationSteps.h"

#include "database/SqlHelpers.h"

namespace tavo {

std::vector<TEscalationStep> TEscalationSteps::ReadAll() {
  std::vector<TEscalationStep> steps;
  for (auto rows = db_.Open(
           "SELECT LOPNR, CALLABLESLOPNR, AFTERSECONDS, TOCALLABLESLOPNR, TONUMBER, REPEATCOUNT "
           "FROM ESCALATION ORDER BY CALLABLESLOPNR, AFTERSECONDS, LOPNR");
       !rows->Eof(); rows->Next()) {
    TEscalationStep s;
    s.Lopnr = rows->AsInteger("LOPNR");
    s.ResourceLopnr = rows->AsInteger("CALLABLESLOPNR");
    s.AfterSeconds = rows->AsInteger("AFTERSECONDS");
    s.ToResourceLopnr = rows->AsInteger("TOCALLABLESLOPNR");
    s.ToNumber = rows->AsString("TONUMBER");
    s.RepeatCount = rows->AsInteger("REPEATCOUNT");
    steps.push_back(std::move(s));
  }
  return steps;
}

int32_t TEscalationSteps::Set(const TEscalationStep& step) {
  TTransaction tx(db_);
  int32_t lopnr = -1;
  for (const auto& old : ReadAll())
    if (old.SameTarget(step)) lopnr = old.Lopnr;
  const TSqlValue number = step.ToResourceLopnr ? SqlNull() : SqlText(step.ToNumber);
  const TSqlValue toResource = step.ToResourceLopnr ? SqlInt(step.ToResourceLopnr) : SqlNull();
  if (lopnr != -1) {
    // The number stays: the steps already taken for open calls still count.
    db_.Execute("UPDATE ESCALATION SET AFTERSECONDS = ?, REPEATCOUNT = ? WHERE LOPNR = ?",
                {SqlInt(step.AfterSeconds), SqlInt(step.RepeatCount), SqlInt(lopnr)});
  } else {
    lopnr = GetNextLopnr(db_, log_, "ESCALATION", "LOPNR");
    if (lopnr < 0) throw EDatabaseError("no running number for a new escalation step");
    db_.Execute(
        "INSERT INTO ESCALATION (LOPNR, CALLABLESLOPNR, AFTERSECONDS, TOCALLABLESLOPNR, TONUMBER, "
        "REPEATCOUNT) VALUES (?, ?, ?, ?, ?, ?)",
        {SqlInt(lopnr), SqlInt(step.ResourceLopnr), SqlInt(step.AfterSeconds), toResource, number,
         SqlInt(step.RepeatCount)});
  }
  tx.Commit();
  return lopnr;
}

int TEscalationSteps::Remove(int32_t resourceLopnr, const TEscalationStep* target) {
  TTransaction tx(db_);
  int removed = 0;
  for (const auto& old : ReadAll()) {
    if (old.ResourceLopnr != resourceLopnr || (target && !old.SameTarget(*target))) continue;
    db_.Execute("DELETE FROM ESCALATION WHERE LOPNR = ?", {SqlInt(old.Lopnr)});
    ++removed;
  }
  tx.Commit();
  return removed;
}

}  // namespace tavo

#include "CliSupervision.h"

#include <vector>

namespace tavo::cli {

namespace {

// Sends one request of the tool blocks and returns the fields of its OK answer; nothing when
// the server let it pass unanswered (it does not know the keyword). The answer to a second
// KEEPALIVE, sent once the first has come back, always follows the request's own answer.
std::optional<std::vector<std::string>> TryAsk(TAdminSession& s, const TCliOptions& o,
                                               const std::string& keyword,
                                               const std::string& payload) {
  TCliConnection& c = s.Connection();
  c.Send(RequestBlock(keyword, payload));
  c.Send(kKeepAlive);
  std::optional<std::vector<std::string>> fields;
  std::string error;
  for (int fences = 0; fences < 2;) {
    auto m = c.Next(Deadline(o));
    if (!m) throw ECliFailure(c.Closed() ? "the server closed the connection" : "no answer in time");
    if (*m == kKeepAlive) {
      if (++fences == 1) c.Send(kKeepAlive);
      continue;
    }
    auto body = BlockPayload(*m, "RET" + keyword, "~", "");
    if (!body) continue;
    auto f = Split(*body, "~");
    if (!f.empty() && f.back().empty()) f.pop_back();
    if (f.empty() || f[0] != "OK") {
      error = f.size() > 1 ? f[1] : "an answer without OK";
      continue;
    }
    f.erase(f.begin());
    fields = std::move(f);
  }
  if (!error.empty()) throw ECliFailure(error);
  return fields;
}

std::vector<std::string> Ask(TAdminSession& s, const TCliOptions& o, const std::string& keyword,
                             const std::string& payload) {
  auto fields = TryAsk(s, o, keyword, payload);
  if (!fields) throw ECliFailure("the server does not know " + keyword + " (an older version?)");
  return *fields;
}

// A target of a step: a resource's number, or an SMS number (resource "0").
struct TTarget {
  std::string Resource = "0", Number;
};

// Resource numbers never start with "+" or "0"; SMS numbers usually do.
TTarget Target(const std::vector<TCallableRow>& all, const std::string& to) {
  const bool number = !to.empty() && (to[0] == '+' || to[0] == '0');
  if (!number)
    if (auto* r = FindResource(all, to)) return {r->Lopnr, ""};
  if (to.empty() || to.find_first_not_of("0123456789+, ") != std::string::npos ||
      to.find_first_of("0123456789") == std::string::npos)
    throw ECliUsage("--to " + to + ": neither a resource nor an SMS number");
  return {"0", to};
}

std::string CallName(const std::vector<TCallableRow>& all, const std::string& lopnr) {
  for (auto& r : all)
    if (r.Lopnr == lopnr) return r.CallName;
  return "[" + lopnr + "]";
}

void ShowSteps(TAdminSession& s, const TCliOptions& o, std::ostream& out,
               const std::vector<TCallableRow>& all, const std::string& onlyResource) {
  const auto f = Ask(s, o, "ESCALATION", "LIST");
  TTable t{{"resource", "after_s", "to", "sms_number", "repeat", "step"},
           {},
           {TCellKind::Text, TCellKind::Number, TCellKind::Text, TCellKind::Optional,
            TCellKind::Number, TCellKind::Number}};
  // Six fields a step: number, resource, seconds, target resource (0: none), number, repeats.
  for (size_t i = 0; i + 6 <= f.size(); i += 6) {
    if (!onlyResource.empty() && f[i + 1] != onlyResource) continue;
    std::string to = f[i + 4], number = f[i + 4];
    if (f[i + 3] != "0") {
      to = CallName(all, f[i + 3]);
      number.clear();
      for (auto& r : all)
        if (r.Lopnr == f[i + 3]) number = r.SmsNumber;
    }
    t.Rows.push_back({CallName(all, f[i + 1]), f[i + 2], to, number, f[i + 5], f[i]});
  }
  WriteTable(out, t, o.Format);
}

struct TEscalationArgs {
  std::string Resource, To;
  int After = 0, Repeat = 0;
};

}  // namespace

std::optional<std::map<std::string, TSupervisionRow>> ReadSupervision(TAdminSession& s) {
  auto f = TryAsk(s, s.Options(), "SUPERVISION", "LIST");
  if (!f) return std::nullopt;
  std::map<std::string, TSupervisionRow> rows;
  // The server's limit in seconds first, then four fields a station.
  for (size_t i = 1; i + 4 <= f->size(); i += 4)
    rows[(*f)[i]] = TSupervisionRow{(*f)[i + 1] == "-1", (*f)[i + 2], (*f)[i + 3]};
  return rows;
}

void SetSupervision(TAdminSession& s, const std::string& stationLopnr, bool supervised) {
  Ask(s, s.Options(), "SUPERVISION", "SET:" + stationLopnr + ":" + (supervised ? "1" : "0"));
}

bool TEscalationMarks::Refresh() {
  if (off_) return false;
  std::map<std::pair<std::string, std::string>, std::string> fresh;
  try {
    if (!session_) session_ = std::make_unique<TAdminSession>(o_);
    auto f = TryAsk(*session_, o_, "ESCALATION", "CALLS");
    if (!f) {
      off_ = true;
      return false;
    }
    // Five fields a call: its number, resource, station, steps taken, time of the last.
    for (size_t i = 0; i + 5 <= f->size(); i += 5)
      fresh[{(*f)[i + 1], (*f)[i + 2]}] = (*f)[i + 3] + " SMS, last " + (*f)[i + 4];
  } catch (const std::exception&) {
    // Refused, or gone: the display's own list still shows; only the marks are missing.
    off_ = true;
    session_.reset();
    return false;
  }
  const bool changed = fresh != marks_;
  marks_ = std::move(fresh);
  return changed;
}

std::string TEscalationMarks::Mark(const std::string& resourceLopnr,
                                   const std::string& stationLopnr) const {
  auto it = marks_.find({resourceLopnr, stationLopnr});
  return it == marks_.end() ? std::string() : it->second;
}

void AddEscalationCommands(TCommandSet& set) {
  auto* esc = set.App().add_subcommand(
      "escalation",
      "Escalation of unanswered calls per resource: after --after seconds without an answer "
      "(COMING), an SMS to --to, sent --repeat more times --after seconds apart. Signs on as "
      "administration client, sends GETALLCALLABLES and ESCALATION.");
  esc->require_subcommand(1);

  auto a = std::make_shared<TEscalationArgs>();
  auto* add = set.Add(
      *esc, "set", "Adds a step, or changes the resource's step to the same target.",
      [a](const TCliOptions& o, std::ostream& out) {
        TAdminSession s(o);
        const auto all = s.Resources();
        const TCallableRow& r = RequireResource(all, a->Resource);
        const TTarget to = Target(all, a->To);
        Ask(s, o, "ESCALATION",
            "SET:" + r.Lopnr + ":" + std::to_string(a->After) + ":" + to.Resource + ":" +
                to.Number + ":" + std::to_string(a->Repeat));
        ShowSteps(s, o, out, all, r.Lopnr);
      });
  add->add_option("RESOURCE", a->Resource, "Resource whose calls escalate (call name or number)")
      ->required();
  add->add_option("--after", a->After, "Seconds unanswered")->required()->check(CLI::Range(1, 86400));
  add->add_option("--to", a->To,
                  "A resource (call name or number: its SMS number) or an SMS number (one "
                  "starting with + or 0 is always a number)")
      ->required();
  add->add_option("--repeat", a->Repeat, "Times the SMS is sent again")->check(CLI::Range(0, 100));

  auto show = std::make_shared<std::string>();
  set.Add(*esc, "show", "The steps of every resource, or of one.",
          [show](const TCliOptions& o, std::ostream& out) {
            TAdminSession s(o);
            const auto all = s.Resources();
            ShowSteps(s, o, out, all, show->empty() ? "" : RequireResource(all, *show).Lopnr);
          })
      ->add_option("RESOURCE", *show, "Resource (call name or number)");

  auto rm = std::make_shared<TEscalationArgs>();
  auto* rmCmd = set.Add(
      *esc, "rm", "Removes the resource's steps, or the one to --to.",
      [rm](const TCliOptions& o, std::ostream& out) {
        TAdminSession s(o);
        const auto all = s.Resources();
        const TCallableRow& r = RequireResource(all, rm->Resource);
        std::string which = "*";
        if (!rm->To.empty()) {
          const TTarget to = Target(all, rm->To);
          which = to.Resource + ":" + to.Number;
        }
        const auto f = Ask(s, o, "ESCALATION", "RM:" + r.Lopnr + ":" + which);
        const std::string removed = f.empty() ? "0" : f[0];
        if (removed == "0")
          throw ECliFailure("resource " + r.CallName + " has no escalation step" +
                            (rm->To.empty() ? std::string() : " to " + rm->To));
        WriteTable(out, {{"resource", "removed"}, {{r.CallName, removed}},
                         {TCellKind::Text, TCellKind::Number}},
                   o.Format);
      });
  rmCmd->add_option("RESOURCE", rm->Resource, "Resource (call name or number)")->required();
  rmCmd->add_option("--to", rm->To, "Only the step to this target");
}

}  // namespace tavo::cli

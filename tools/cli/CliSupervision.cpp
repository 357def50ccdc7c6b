#include "CliSupervision.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

#include "Replies.h"
#include "Session.h"
#include "Table.h"

namespace tavo::cli {
namespace {

using std::chrono::milliseconds;

const std::string kKeepAlive = RequestBlock("KEEPALIVE", "");

// Sends one request of the tool blocks and returns the fields of its OK answer; nothing when
// the server let it pass unanswered (it does not know the keyword). The answer to a second
// KEEPALIVE, sent once the first has come back, always follows the request's own answer.
std::optional<std::vector<std::string>> TryAsk(TCliConnection& c, const TCliOptions& o,
                                               const std::string& keyword,
                                               const std::string& payload) {
  c.Send(RequestBlock(keyword, payload));
  c.Send(kKeepAlive);
  for (int fences = 0; fences < 2;) {
    auto m = c.Next(Deadline(o));
    if (!m) throw ECliFailure(c.Closed() ? "the server closed the connection" : "no answer in time");
    if (*m == kKeepAlive) {
      if (++fences == 1) c.Send(kKeepAlive);
      continue;
    }
    auto body = BlockPayload(*m, "RET" + keyword, "~", "");
    if (!body) continue;
    auto fields = Split(*body, "~");
    if (!fields.empty() && fields.back().empty()) fields.pop_back();
    if (fields.empty()) throw ECliFailure("an empty " + keyword + " answer");
    if (fields[0] == "ERROR") throw ECliFailure(fields.size() > 1 ? fields[1] : "refused");
    fields.erase(fields.begin());
    // The fence of the second KEEPALIVE is still on its way: read it, so that the next
    // request's answers start clean.
    while (fences < 2) {
      auto rest = c.Next(Deadline(o));
      if (!rest) break;
      if (*rest == kKeepAlive && ++fences == 1) c.Send(kKeepAlive);
    }
    return fields;
  }
  return std::nullopt;
}

std::vector<std::string> Ask(TCliConnection& c, const TCliOptions& o, const std::string& keyword,
                             const std::string& payload) {
  auto fields = TryAsk(c, o, keyword, payload);
  if (!fields) throw ECliFailure("the server does not know " + keyword + " (an older version?)");
  return *fields;
}

std::unique_ptr<TCliConnection> AdminConnection(const TCliOptions& o) {
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  return c;
}

std::vector<TCallableRow> Resources(TCliConnection& c, const TCliOptions& o) {
  c.Send(RequestBlock("GETALLCALLABLES", ""));
  auto m = c.WaitFor(kMarker + "RETALLCALLABLES:", Deadline(o));
  if (!m) throw ECliFailure("no resource list in time");
  return ParseCallables(*BlockPayload(*m, "RETALLCALLABLES"));
}

const TCallableRow* FindResource(const std::vector<TCallableRow>& all, const std::string& what) {
  for (auto& r : all)
    if (r.CallName == what) return &r;
  for (auto& r : all)
    if (r.Lopnr == what) return &r;
  return nullptr;
}

const TCallableRow& Resource(const std::vector<TCallableRow>& all, const std::string& what) {
  if (auto* r = FindResource(all, what)) return *r;
  throw ECliFailure("no resource " + what);
}

// Resource number and SMS number of a target, one of them empty.
std::pair<std::string, std::string> Target(const std::vector<TCallableRow>& all,
                                           const std::string& to) {
  // Resource numbers never start with "+" or "0"; SMS numbers usually do.
  const bool looksLikeNumber = !to.empty() && (to[0] == '+' || to[0] == '0');
  if (!looksLikeNumber)
    if (auto* r = FindResource(all, to)) return {r->Lopnr, ""};
  if (to.empty() || to.find_first_not_of("0123456789+, ") != std::string::npos ||
      to.find_first_of("0123456789") == std::string::npos)
    throw ECliUsage("--to " + to + ": neither a resource nor an SMS number");
  return {"0", to};
}

std::string ResourceName(const std::vector<TCallableRow>& all, const std::string& lopnr) {
  for (auto& r : all)
    if (r.Lopnr == lopnr) return r.CallName;
  return "[" + lopnr + "]";
}

void ShowSteps(TCliConnection& c, const TCliOptions& o, std::ostream& out,
               const std::vector<TCallableRow>& all, const std::string& onlyResource) {
  auto f = Ask(c, o, "ESCALATION", "LIST");
  TTable t{{"resource", "after_s", "to", "sms_number", "repeat", "step"}, {}};
  for (size_t i = 0; i + 6 <= f.size(); i += 6) {
    const std::string& resource = f[i + 1];
    if (!onlyResource.empty() && resource != onlyResource) continue;
    std::string to = f[i + 4], number = f[i + 4];
    if (f[i + 3] != "0") {
      to = ResourceName(all, f[i + 3]);
      number.clear();
      for (auto& r : all)
        if (r.Lopnr == f[i + 3]) number = r.SmsNumber;
    }
    t.Rows.push_back({ResourceName(all, resource), f[i + 2], to, number, f[i + 5], f[i]});
  }
  WriteTable(out, t, o.Format);
}

}  // namespace

std::optional<std::map<std::string, TSupervisionRow>> ReadSupervision(TCliConnection& c,
                                                                      const TCliOptions& o) {
  auto f = TryAsk(c, o, "SUPERVISION", "LIST");
  if (!f) return std::nullopt;
  std::map<std::string, TSupervisionRow> rows;
  // The first field is the server's limit in seconds; then four per station.
  for (size_t i = 1; i + 4 <= f->size(); i += 4)
    rows[(*f)[i]] = TSupervisionRow{(*f)[i + 1] == "-1", (*f)[i + 2], (*f)[i + 3]};
  return rows;
}

void CmdStationSupervise(const TCliOptions& o, std::ostream& out, const std::string& station,
                         bool supervise) {
  auto c = AdminConnection(o);
  c->Send(RequestBlock("GETALLMACHINES", ""));
  auto m = c->WaitFor(kMarker + "RETALLMACHINES:", Deadline(o));
  if (!m) throw ECliFailure("no station list in time");
  std::string lopnr, type;
  for (auto& s : ParseMachines(*BlockPayload(*m, "RETALLMACHINES")))
    if (s.Name == station) lopnr = s.Lopnr, type = s.Type;
  if (lopnr.empty()) throw ECliFailure("no station named " + station);
  Ask(*c, o, "SUPERVISION", "SET:" + lopnr + ":" + (supervise ? "1" : "0"));
  WriteTable(out, {{"station", "supervised"}, {{station, supervise ? "yes" : "no"}}}, o.Format);
  if (type != "1" && type != "3")
    std::cerr << "tavo-cli: note: only display and hardware stations are supervised; " << station
              << " is neither\n";
}

void CmdEscalationSet(const TCliOptions& o, std::ostream& out, const std::string& resource,
                      int afterSeconds, const std::string& to, int repeat) {
  if (afterSeconds < 1) throw ECliUsage("--after must be at least 1 second");
  if (repeat < 0) throw ECliUsage("--repeat cannot be negative");
  auto c = AdminConnection(o);
  const auto all = Resources(*c, o);
  const TCallableRow& r = Resource(all, resource);
  const auto [toResource, toNumber] = Target(all, to);
  Ask(*c, o, "ESCALATION",
      "SET:" + r.Lopnr + ":" + std::to_string(afterSeconds) + ":" + toResource + ":" + toNumber +
          ":" + std::to_string(repeat));
  ShowSteps(*c, o, out, all, r.Lopnr);
}

void CmdEscalationShow(const TCliOptions& o, std::ostream& out, const std::string& resource) {
  auto c = AdminConnection(o);
  const auto all = Resources(*c, o);
  ShowSteps(*c, o, out, all, resource.empty() ? std::string() : Resource(all, resource).Lopnr);
}

void CmdEscalationRm(const TCliOptions& o, std::ostream& out, const std::string& resource,
                     const std::string& to) {
  auto c = AdminConnection(o);
  const auto all = Resources(*c, o);
  const TCallableRow& r = Resource(all, resource);
  std::string which = "*";
  if (!to.empty()) {
    const auto [toResource, toNumber] = Target(all, to);
    which = toResource + ":" + toNumber;
  }
  auto f = Ask(*c, o, "ESCALATION", "RM:" + r.Lopnr + ":" + which);
  const std::string removed = f.empty() ? "0" : f[0];
  if (removed == "0")
    throw ECliFailure("resource " + r.CallName + " has no escalation step" +
                      (to.empty() ? std::string() : " to " + to));
  WriteTable(out, {{"resource", "removed"}, {{r.CallName, removed}}}, o.Format);
}

bool TEscalationMarks::Refresh() {
  if (off_) return false;
  std::map<std::pair<std::string, std::string>, std::string> fresh;
  try {
    if (!conn_) conn_ = AdminConnection(o_);
    auto f = TryAsk(*conn_, o_, "ESCALATION", "CALLS");
    if (!f) {
      off_ = true;
      return false;
    }
    for (size_t i = 0; i + 5 <= f->size(); i += 5)
      fresh[{(*f)[i + 1], (*f)[i + 2]}] = (*f)[i + 3] + " SMS, last " + (*f)[i + 4];
  } catch (const std::exception&) {
    // Refused, or gone: the display's own list still shows; only the marks are missing.
    off_ = true;
    conn_.reset();
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

void AddSupervisionCommands(CLI::App& app, std::ostream& out,
                            const std::function<void(std::function<void(const TCliOptions&)>)>& choose) {
  struct TArgs {
    std::string Name, Resource, To;
    bool Supervise = false, NoSupervise = false;
    int After = 0, Repeat = 0;
  };
  auto a = std::make_shared<TArgs>();
  auto* o = &out;

  auto* station = app.add_subcommand("station", "Changes a station.");
  station->require_subcommand(1);
  auto* set = station->add_subcommand(
      "set", "Whether a display or hardware station is supervised (reported when it has been "
             "offline for SupervisionSeconds). Signs on as administration client, sends "
             "GETALLMACHINES and SUPERVISION.");
  set->add_option("NAME", a->Name, "Station name")->required();
  auto* on = set->add_flag("--supervise", a->Supervise, "Report the station when it is offline");
  auto* off = set->add_flag("--no-supervise", a->NoSupervise, "Never report the station");
  on->excludes(off);
  set->callback([a, o, choose] {
    if (a->Supervise == a->NoSupervise) throw CLI::ValidationError("give --supervise or --no-supervise");
    choose([a, o](const TCliOptions& opt) { CmdStationSupervise(opt, *o, a->Name, a->Supervise); });
  });

  auto* esc = app.add_subcommand(
      "escalation",
      "Escalation of unanswered calls per resource: after --after seconds without an answer "
      "(COMING), an SMS to --to, repeated --repeat more times --after seconds apart. Signs on as "
      "administration client, sends GETALLCALLABLES and ESCALATION.");
  esc->require_subcommand(1);
  auto* eset = esc->add_subcommand("set", "Adds a step, or changes the resource's step to the same target.");
  eset->add_option("RESOURCE", a->Resource, "Resource whose calls escalate (call name or number)")->required();
  eset->add_option("--after", a->After, "Seconds unanswered")->required()->check(CLI::Range(1, 86400));
  eset->add_option("--to", a->To,
                   "A resource (call name or number: its SMS number) or an SMS number (one "
                   "starting with + or 0 is always a number)")->required();
  eset->add_option("--repeat", a->Repeat, "Times the SMS is sent again")->check(CLI::Range(0, 100));
  eset->callback([a, o, choose] {
    choose([a, o](const TCliOptions& opt) {
      CmdEscalationSet(opt, *o, a->Resource, a->After, a->To, a->Repeat);
    });
  });
  auto* show = esc->add_subcommand("show", "The steps of every resource, or of one.");
  show->add_option("RESOURCE", a->Resource, "Resource (call name or number)");
  show->callback([a, o, choose] {
    choose([a, o](const TCliOptions& opt) { CmdEscalationShow(opt, *o, a->Resource); });
  });
  auto* rm = esc->add_subcommand("rm", "Removes the resource's steps, or the one to --to.");
  rm->add_option("RESOURCE", a->Resource, "Resource (call name or number)")->required();
  rm->add_option("--to", a->To, "Only the step to this target");
  rm->callback([a, o, choose] {
    choose([a, o](const TCliOptions& opt) { CmdEscalationRm(opt, *o, a->Resource, a->To); });
  });
}

}  // namespace tavo::cli

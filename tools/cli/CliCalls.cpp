// watch, call, answer, confirm and test-call: tavo-cli signed on as a station (GETCALLLIST
// with kind 0) or a display (kind 1), doing what their users do and waiting until the lists
// the server sends show it.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>

#include "CliSupervision.h"
#include "Names.h"
#include "Session.h"
#include "admin/ColumnWidth.h"
#include "common/DateTime.h"
#include "ResponseReport.h"

namespace tavo::cli {

namespace {

using std::chrono::milliseconds;

std::string YesNo(bool b) { return b ? "yes" : "no"; }

struct TStationSession {
  std::unique_ptr<TCliConnection> Conn;
  TClientData Data;
  std::vector<TStationEntry> Entries;    // call clients: the last RETCALLLIST
  std::vector<TDisplayResource> Shown;   // displays: the last CURRENTLIST
};

// Takes one message apart for the session; returns true when it held a list.
bool Absorb(TStationSession& s, const std::string& m) {
  if (auto p = BlockPayload(m, "RETCALLLIST", "~", "")) {
    s.Entries = ParseCallList(*p);
    return true;
  }
  if (auto p = BlockPayload(m, "CURRENTLIST", ":", "")) {
    s.Shown = ParseCurrentList(*p);
    return true;
  }
  return false;
}

TStationSession SignOnStation(const TCliOptions& o, const std::string& name, int kind) {
  RequireCarried(name, "station name", tavo::kStationNameWidth);
  TStationSession s;
  s.Conn = Connect(o);
  s.Conn->Send(RequestBlock("GETCALLLIST", name + ":" + std::to_string(kind)));
  const auto deadline = Deadline(o);
  bool haveData = false;
  while (auto m = s.Conn->Next(deadline)) {
    if (auto d = ParseClientData(*m)) {
      s.Data = *d;
      haveData = true;
    } else if (auto e = ErrorText(*m); e && e->rfind("ERROR: 001", 0) == 0) {
      throw ECliFailure(*e);
    } else if (Absorb(s, *m) && haveData) {
      return s;
    }
  }
  throw ECliFailure("station " + name + " did not get its list in time");
}

// Waits for a list that satisfies the test; nothing when the time is up first.
template <typename Pred>
bool WaitList(TStationSession& s, TClockType::time_point deadline, Pred ok) {
  while (auto m = s.Conn->Next(deadline)) {
    if (auto e = ErrorText(*m); e && e->rfind("ERROR: 003", 0) != 0) throw ECliFailure(*e);
    if (Absorb(s, *m) && ok(s)) return true;
  }
  return false;
}

const TStationEntry* FindEntry(const std::vector<TStationEntry>& entries, const std::string& lopnr) {
  for (auto& e : entries)
    if (e.Lopnr == lopnr) return &e;
  return nullptr;
}

// A resource named by its number or its call name, looked up in a station's own list.
std::string ResolveResource(const TStationSession& s, const std::string& resource) {
  for (auto& e : s.Entries)
    if (e.Lopnr == resource) return e.Lopnr;
  for (auto& e : s.Entries)
    if (e.CallName == resource) return e.Lopnr;
  throw ECliFailure("station " + s.Data.StationName + " has no resource " + resource +
                    " in its list");
}

bool DisplayShows(const TStationSession& d, const std::string& resource, const std::string& station) {
  for (auto& r : d.Shown)
    if (r.Lopnr == resource)
      for (auto& c : r.Callers)
        if (c.Lopnr == station) return true;
  return false;
}

bool Zero(const std::string& time) { return time.empty() || time.rfind("1899-12-30", 0) == 0; }

TTable EntryTable(const std::string& station, const TStationEntry& e) {
  return {{"station", "resource", "open", "called", "answered_by", "answered_at"},
          {{station, e.CallName, YesNo(e.Open), Zero(e.CallTime) ? "" : e.CallTime, e.ComingName,
            Zero(e.ComingTime) ? "" : e.ComingTime}},
          {TCellKind::Text, TCellKind::Text, TCellKind::Flag, TCellKind::Optional,
           TCellKind::Optional, TCellKind::Optional}};
}

// CALLING from the station for the resource: opens a call, or confirms the open one.
void Calling(const TCliOptions& o, std::ostream& out, const std::string& station,
             const std::string& resource, bool open) {
  TStationSession s = SignOnStation(o, station, 0);
  const std::string lopnr = ResolveResource(s, resource);
  if (FindEntry(s.Entries, lopnr)->Open == open)
    throw ECliFailure(station + (open ? " has already called " : " has no open call to ") + resource);
  s.Conn->Send(RequestBlock("CALLING", lopnr));
  if (!WaitList(s, Deadline(o), [&](const TStationSession& x) {
        auto* e = FindEntry(x.Entries, lopnr);
        return e && e->Open == open;
      }))
    throw ECliFailure("the station's list did not show the change in time");
  WriteTable(out, EntryTable(s.Data.StationName, *FindEntry(s.Entries, lopnr)), o.Format);
}

void Watch(const TCliOptions& o, std::ostream& out, const std::string& display, int count) {
  TStationSession s = SignOnStation(o, display, 1);
  // A display's list comes back empty when it lists no resource it can show.
  if (s.Shown.empty())
    std::cerr << "tavo-cli: display " << display
              << " shows no resource: its list is empty, or holds only inactive resources and "
                 "the cancel resource, so it will never show a call (tavo-cli list \""
              << display << "\" shows it)\n";
  // Escalations change no list: they are asked for every few seconds.
  TEscalationMarks marks(o);
  marks.Refresh();
  auto nextMarks = TClockType::now() + std::chrono::seconds(2);
  for (int shown = 0;;) {
    TTable t{{"resource", "caller", "called", "age_s", "answered_by", "answered_at", "escalated"},
             {},
             {TCellKind::Text, TCellKind::Text, TCellKind::Text, TCellKind::Number,
              TCellKind::Optional, TCellKind::Optional, TCellKind::Optional}};
    for (auto& r : s.Shown)
      for (auto& c : r.Callers) {
        std::string age;
        if (auto called = ParseSeconds(c.CallTime)) {
          const TDateTime now = FromTimespecLocal([] {
            timespec ts{};
            clock_gettime(CLOCK_REALTIME, &ts);
            return ts;
          }());
          age = Fixed(std::max(0.0, now * 86400.0 - *called), 0);
        }
        t.Rows.push_back({r.Name, c.Name, c.CallTime, age, c.ComingName,
                          Zero(c.ComingTime) ? "" : c.ComingTime, marks.Mark(r.Lopnr, c.Lopnr)});
      }
    if (o.Terminal) out << "\x1b[H\x1b[2J" << display << " (" << s.Data.FriendlyName << ")\n";
    WriteTable(out, t, o.Format);
    if (!o.Terminal) out << "\n";
    out.flush();
    if (count > 0 && ++shown >= count) return;
    for (bool fresh = false; !fresh;) {
      if (gInterrupted) return;
      if (TClockType::now() >= nextMarks) {
        nextMarks = TClockType::now() + std::chrono::seconds(2);
        if ((fresh = marks.Refresh())) break;
      }
      auto m = s.Conn->Next(TClockType::now() + milliseconds(250));
      if (!m) {
        if (s.Conn->Closed()) throw ECliFailure("the server closed the connection");
        continue;
      }
      fresh = Absorb(s, *m);
    }
  }
}

void Call(const TCliOptions& o, std::ostream& out, const std::string& station,
             const std::string& resource) {
  Calling(o, out, station, resource, true);
}

void Confirm(const TCliOptions& o, std::ostream& out, const std::string& station,
                const std::string& resource) {
  Calling(o, out, station, resource, false);
}

void Answer(const TCliOptions& o, std::ostream& out, const std::string& station,
               const std::string& resource, const std::string& caller) {
  // The caller's own list shows who answered: watch it from a connection of the caller.
  TStationSession callerSession = SignOnStation(o, caller, 0);
  const std::string lopnr = ResolveResource(callerSession, resource);
  if (!FindEntry(callerSession.Entries, lopnr)->Open)
    throw ECliFailure(caller + " has no open call to " + resource);
  TStationSession answerer = SignOnStation(o, station, 0);
  answerer.Conn->Send(RequestBlock("COMING", lopnr + ":" + callerSession.Data.Lopnr));
  answerer.Conn->Send(kKeepAlive);
  // An ERROR 002 comes back before the KEEPALIVE answer.
  for (const auto deadline = Deadline(o);;) {
    auto m = answerer.Conn->Next(deadline);
    if (!m) throw ECliFailure("no answer in time");
    if (auto e = ErrorText(*m); e && e->rfind("ERROR: 003", 0) != 0) throw ECliFailure(*e);
    if (*m == kKeepAlive) break;
  }
  if (!WaitList(callerSession, Deadline(o), [&](const TStationSession& x) {
        auto* e = FindEntry(x.Entries, lopnr);
        return e && e->ComingLopnr == answerer.Data.Lopnr;
      }))
    throw ECliFailure("the caller's list did not show the answer in time");
  WriteTable(out, EntryTable(callerSession.Data.StationName, *FindEntry(callerSession.Entries, lopnr)),
             o.Format);
}

void TestCall(const TCliOptions& o, std::ostream& out, const std::string& station,
                 const std::string& resource, const std::string& display, double budgetSeconds) {
  const auto budget = milliseconds(static_cast<long>(budgetSeconds * 1000));
  TStationSession shown = SignOnStation(o, display, 1);
  TStationSession caller = SignOnStation(o, station, 0);
  const std::string lopnr = ResolveResource(caller, resource);
  const std::string who = caller.Data.Lopnr;
  if (FindEntry(caller.Entries, lopnr)->Open)
    throw ECliFailure(station + " already has an open call to " + resource);

  TTable t{{"step", "time_ms", "result"}, {}, {TCellKind::Text, TCellKind::Number, TCellKind::Text}};
  bool failed = false;
  using TTest = std::function<bool(const TStationSession&)>;
  struct TStep {
    std::string Name;
    TStationSession* Session;
    TTest Ok;
    std::optional<double> Ms;
  };
  // Both connections are read in turns of a few milliseconds, so that each step's time is
  // taken when its list arrives, whatever the other connection is waiting for.
  auto run = [&](std::vector<TStep> steps) {
    const auto t0 = TClockType::now();
    caller.Conn->Send(RequestBlock("CALLING", lopnr));
    for (;;) {
      bool waiting = false;
      for (auto& s : steps) {
        if (s.Ms) continue;
        if (s.Ok(*s.Session)) {
          s.Ms = MsSince(t0);
          continue;
        }
        waiting = true;
        if (auto m = s.Session->Conn->Next(TClockType::now() + milliseconds(5))) {
          if (auto e = ErrorText(*m); e && e->rfind("ERROR: 003", 0) != 0) throw ECliFailure(*e);
          Absorb(*s.Session, *m);
        }
      }
      if (!waiting || TClockType::now() > t0 + budget) break;
    }
    for (auto& s : steps) {
      const char* result = !s.Ms ? "not within budget" : *s.Ms > budgetSeconds * 1000 ? "over budget" : "ok";
      failed |= std::string(result) != "ok";
      t.Rows.push_back({s.Name, s.Ms ? Fixed(*s.Ms, 1) : "", result});
    }
  };
  auto inList = [&](const TStationSession& s) {
    auto* e = FindEntry(s.Entries, lopnr);
    return e && e->Open;
  };
  run({{"display shows the call", &shown, [&](const TStationSession& s) { return DisplayShows(s, lopnr, who); }, {}},
       {"station list shows the call", &caller, inList, {}}});
  // Confirm only a call that is open, so that a lost call is not opened again here.
  if (inList(caller))
    run({{"display clears the call", &shown, [&](const TStationSession& s) { return !DisplayShows(s, lopnr, who); }, {}},
         {"station list clears the call", &caller, [&](const TStationSession& s) { return !inList(s); }, {}}});
  WriteTable(out, t, o.Format);
  if (failed) throw ECliFailure("a step took longer than the budget of " + Fixed(budgetSeconds, 3) + " s");
}


struct TCallArgs {
  std::string Station, Resource, Third;
  int Count = 0;
  double Budget = 5;
};

}  // namespace

void AddCallCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  auto w = std::make_shared<TCallArgs>();
  auto* watch = set.Add(
      app, "watch",
      "Signs on as the display (GETCALLLIST with kind 1) and shows its current calls "
      "(CURRENTLIST) as they change, until Ctrl-C; calls that were escalated are marked, asked "
      "for every 2 s with ESCALATION on an administration connection of its own.",
      [w](const TCliOptions& o, std::ostream& out) { Watch(o, out, w->Station, w->Count); });
  watch->add_option("DISPLAY", w->Station, "Display station name")->required();
  watch->add_option("-n,--count", w->Count, "End after this many lists");

  auto c = std::make_shared<TCallArgs>();
  auto* call = set.Add(
      app, "call", "Signs on as the station (GETCALLLIST with kind 0) and calls the resource (CALLING).",
      [c](const TCliOptions& o, std::ostream& out) { Call(o, out, c->Station, c->Resource); });
  call->add_option("STATION", c->Station, "Calling station name")->required();
  call->add_option("RESOURCE", c->Resource, "Resource number or call name")->required();

  auto a = std::make_shared<TCallArgs>();
  auto* answer = set.Add(
      app, "answer",
      "Signs on as the station (GETCALLLIST with kind 0) and answers the caller's call (COMING); "
      "a second connection signed on as the caller shows the answer.",
      [a](const TCliOptions& o, std::ostream& out) { Answer(o, out, a->Station, a->Resource, a->Third); });
  answer->add_option("STATION", a->Station, "Answering station name")->required();
  answer->add_option("RESOURCE", a->Resource, "Resource number or call name")->required();
  answer->add_option("CALLER", a->Third, "Calling station name")->required();

  auto f = std::make_shared<TCallArgs>();
  auto* confirm = set.Add(
      app, "confirm",
      "Signs on as the station (GETCALLLIST with kind 0) and closes its open call to the "
      "resource (CALLING again).",
      [f](const TCliOptions& o, std::ostream& out) { Confirm(o, out, f->Station, f->Resource); });
  confirm->add_option("STATION", f->Station, "Calling station name")->required();
  confirm->add_option("RESOURCE", f->Resource, "Resource number or call name")->required();

  auto t = std::make_shared<TCallArgs>();
  auto* test = set.Add(
      app, "test-call",
      "End-to-end test: signs on as the display (GETCALLLIST kind 1) and the station (kind 0), "
      "opens a call (CALLING), waits until the display and the station's list show it, confirms "
      "it (CALLING) and waits until both show it gone. Fails when a step takes longer than the "
      "budget (default 5 s, within which a call must reach staff under DIN VDE 0834).",
      [t](const TCliOptions& o, std::ostream& out) {
        TestCall(o, out, t->Station, t->Resource, t->Third, t->Budget);
      });
  test->add_option("STATION", t->Station, "Calling station name")->required();
  test->add_option("RESOURCE", t->Resource, "Resource number or call name")->required();
  test->add_option("DISPLAY", t->Third, "Display station name")->required();
  test->add_option("-b,--budget", t->Budget, "Seconds allowed per step")->check(CLI::PositiveNumber);
}

}  // namespace tavo::cli

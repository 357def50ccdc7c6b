#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "CliConnection.h"
#include "Replies.h"
#include "ResponseReport.h"
#include "SqlQuoting.h"
#include "common/DateTime.h"

namespace tavo::cli {

std::atomic<bool> gInterrupted{false};

namespace {

using std::chrono::milliseconds;

const std::string kKeepAlive = RequestBlock("KEEPALIVE", "");
const std::string kVersionQuestion = RequestBlock("GETSERVERVERSION", "");

milliseconds Timeout(const TCliOptions& o) {
  return milliseconds(static_cast<long>(o.TimeoutSeconds * 1000));
}
TClockType::time_point Deadline(const TCliOptions& o) { return TClockType::now() + Timeout(o); }

std::unique_ptr<TCliConnection> Connect(const TCliOptions& o) {
  try {
    return std::make_unique<TCliConnection>(o.Host, o.Port, Timeout(o));
  } catch (const std::exception& e) {
    throw ECliFailure(e.what());
  }
}

double MsSince(TClockType::time_point t0) {
  return std::chrono::duration<double, std::milli>(TClockType::now() - t0).count();
}

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// The administration sign-on: the version question with client kind 2.
void SignOnAdmin(TCliConnection& c, const TCliOptions& o) {
  c.Send(RequestBlock("GETSERVERVERSION", "tavo-cli:2"));
  if (!c.WaitFor(kMarker + "RETSERVERVERSION:", Deadline(o)))
    throw ECliFailure("no answer to the administration sign-on");
}

// Sends the request with a version question behind it in the same message. A request that
// fails ends the processing of its message, so the version answer arrives only when the
// request was carried out. KEEPALIVE fences tell when to stop waiting: the first may be read
// together with the request (and is then answered first), a second one sent after the first
// answer is always read alone. Returns the messages that arrived.
std::vector<std::string> Fenced(TCliConnection& c, const TCliOptions& o, const std::string& request) {
  c.Send(request + kVersionQuestion);
  c.Send(kKeepAlive);
  std::vector<std::string> got;
  bool done = false;
  for (int fence = 0; fence < 2 && !done; ++fence) {
    if (fence == 1) c.Send(kKeepAlive);
    for (;;) {
      auto m = c.Next(Deadline(o));
      if (!m) throw ECliFailure(c.Closed() ? "the server closed the connection" : "no answer in time");
      if (*m == kKeepAlive) break;
      if (m->find(kMarker + "RETSERVERVERSION:") == 0) {
        done = true;
        continue;
      }
      got.push_back(*m);
    }
  }
  for (auto& m : got)
    if (auto e = ErrorText(m)) throw ECliFailure(*e);
  if (!done) throw ECliFailure("the server did not carry out the request (its event log says why)");
  return got;
}

std::string FindPayload(const std::vector<std::string>& msgs, const std::string& keyword) {
  for (auto& m : msgs)
    if (auto p = BlockPayload(m, keyword)) return *p;
  throw ECliFailure("no " + keyword + " in the answer");
}

const char* KindName(const std::string& type) {
  static const char* names[] = {"call", "display", "admin", "hardware"};
  if (type.size() == 1 && type[0] >= '0' && type[0] <= '3') return names[type[0] - '0'];
  return nullptr;
}

std::string YesNo(bool b) { return b ? "yes" : "no"; }

// --- signing on as a station ---

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
  if (name.find(':') != std::string::npos || name.find("\xC2\xA4") != std::string::npos)
    throw ECliUsage("a station name cannot contain \":\" or \"\xC2\xA4\"");
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
            Zero(e.ComingTime) ? "" : e.ComingTime}}};
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

std::string CheckDate(const std::string& d) {
  static const std::regex re(R"(\d{4}-\d{2}-\d{2})");
  TDateTime dt = 0;
  if (!std::regex_match(d, re) || !ParseIsoDateTime(d, dt))
    throw ECliUsage("not a date (yyyy-MM-dd): " + d);
  return d;
}

std::string EncodeOrUsage(const std::string& sql, char sep) {
  try {
    return EncodeStatement(sql, sep);
  } catch (const std::invalid_argument& e) {
    throw ECliUsage(e.what());
  }
}

TSqlResult Query(TCliConnection& c, const TCliOptions& o, const std::string& sql) {
  auto msgs = Fenced(c, o, RequestBlock("OPENSQL", ":" + EncodeOrUsage(sql, ':')));
  try {
    return ParseSql(FindPayload(msgs, "RETSQL"));
  } catch (const std::runtime_error& e) {
    throw ECliFailure(e.what());
  }
}

}  // namespace

void CmdPing(const TCliOptions& o, std::ostream& out) {
  auto c = Connect(o);
  const auto t0 = TClockType::now();
  c->Send(kKeepAlive);
  if (!c->WaitFor(kKeepAlive, Deadline(o))) throw ECliFailure("no KEEPALIVE answer in time");
  WriteTable(out, {{"reply", "time_ms"}, {{"KEEPALIVE", Fixed(MsSince(t0), 3)}}}, o.Format);
}

void CmdVersion(const TCliOptions& o, std::ostream& out) {
  auto c = Connect(o);
  c->Send(kVersionQuestion);
  auto m = c->WaitFor(kMarker + "RETSERVERVERSION:", Deadline(o));
  if (!m) throw ECliFailure("no version answer in time");
  WriteTable(out, {{"version"}, {{*BlockPayload(*m, "RETSERVERVERSION")}}}, o.Format);
}

void CmdStations(const TCliOptions& o, std::ostream& out) {
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  TTable t{{"name", "lopnr", "friendly_name", "colour", "type", "connected", "imei"}, {}};
  for (auto& s : ParseMachines(FindPayload(Fenced(*c, o, RequestBlock("GETALLMACHINES", "")),
                                           "RETALLMACHINES"))) {
    const char* kind = KindName(s.Type);
    t.Rows.push_back({s.Name, s.Lopnr, s.FriendlyName, s.Colour, kind ? kind : s.Type,
                      YesNo(s.Connected == "-1"), s.Imei});
  }
  WriteTable(out, t, o.Format);
}

void CmdResources(const TCliOptions& o, std::ostream& out) {
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  TTable t{{"lopnr", "callname", "fullname", "colour", "sms", "sms_number", "active"}, {}};
  for (auto& r : ParseCallables(FindPayload(Fenced(*c, o, RequestBlock("GETALLCALLABLES", "")),
                                            "RETALLCALLABLES")))
    t.Rows.push_back({r.Lopnr, r.CallName, r.FullName, r.Colour, YesNo(r.SendSms == "-1"),
                      r.SmsNumber, r.Active});
  WriteTable(out, t, o.Format);
}

void CmdList(const TCliOptions& o, std::ostream& out, const std::string& station) {
  if (station.find(':') != std::string::npos) throw ECliUsage("a station name cannot contain \":\"");
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  auto msgs = Fenced(*c, o,
                     RequestBlock("GETSTATIONCALLABLES", station) +
                         RequestBlock("GETALLCALLABLES", "") + RequestBlock("GETALLMACHINES", ""));
  bool known = false;
  for (auto& s : ParseMachines(FindPayload(msgs, "RETALLMACHINES"))) known |= s.Name == station;
  if (!known) throw ECliFailure("no station named " + station);
  std::map<std::string, TCallableRow> byLopnr;
  for (auto& r : ParseCallables(FindPayload(msgs, "RETALLCALLABLES"))) byLopnr[r.Lopnr] = r;
  TTable t{{"ix", "lopnr", "callname", "fullname", "active"}, {}};
  for (auto& p : ParseStationCallables(FindPayload(msgs, "RETSTATIONCALLABLES"))) {
    auto it = byLopnr.find(p.CallableLopnr);
    if (it == byLopnr.end())
      t.Rows.push_back({p.Ix, p.CallableLopnr, "", "", ""});
    else
      t.Rows.push_back({p.Ix, p.CallableLopnr, it->second.CallName, it->second.FullName,
                        it->second.Active});
  }
  WriteTable(out, t, o.Format);
}

void CmdWatch(const TCliOptions& o, std::ostream& out, const std::string& display, int count) {
  TStationSession s = SignOnStation(o, display, 1);
  for (int shown = 0;;) {
    TTable t{{"resource", "caller", "called", "age_s", "answered_by", "answered_at"}, {}};
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
                          Zero(c.ComingTime) ? "" : c.ComingTime});
      }
    if (o.Terminal) out << "\x1b[H\x1b[2J" << display << " (" << s.Data.FriendlyName << ")\n";
    WriteTable(out, t, o.Format);
    if (!o.Terminal) out << "\n";
    out.flush();
    if (count > 0 && ++shown >= count) return;
    for (bool fresh = false; !fresh;) {
      if (gInterrupted) return;
      auto m = s.Conn->Next(TClockType::now() + milliseconds(250));
      if (!m) {
        if (s.Conn->Closed()) throw ECliFailure("the server closed the connection");
        continue;
      }
      fresh = Absorb(s, *m);
    }
  }
}

void CmdCall(const TCliOptions& o, std::ostream& out, const std::string& station,
             const std::string& resource) {
  Calling(o, out, station, resource, true);
}

void CmdConfirm(const TCliOptions& o, std::ostream& out, const std::string& station,
                const std::string& resource) {
  Calling(o, out, station, resource, false);
}

void CmdAnswer(const TCliOptions& o, std::ostream& out, const std::string& station,
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

void CmdTestCall(const TCliOptions& o, std::ostream& out, const std::string& station,
                 const std::string& resource, const std::string& display, double budgetSeconds) {
  const auto budget = milliseconds(static_cast<long>(budgetSeconds * 1000));
  TStationSession shown = SignOnStation(o, display, 1);
  TStationSession caller = SignOnStation(o, station, 0);
  const std::string lopnr = ResolveResource(caller, resource);
  const std::string who = caller.Data.Lopnr;
  if (FindEntry(caller.Entries, lopnr)->Open)
    throw ECliFailure(station + " already has an open call to " + resource);

  TTable t{{"step", "time_ms", "result"}, {}};
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

void CmdSql(const TCliOptions& o, std::ostream& out, const std::string& statement) {
  EncodeOrUsage(statement, ':');  // refused before anything is sent
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  TSqlResult r = Query(*c, o, statement);
  WriteTable(out, {r.Columns, r.Rows}, o.Format);
}

void CmdExec(const TCliOptions& o, std::ostream& out, const std::string& statement) {
  const std::string encoded = EncodeOrUsage(statement, '$');
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  Fenced(*c, o, RequestBlock("EXECSQL", "$" + encoded, '$'));
  if (o.Terminal) out << "OK\n";
}

void CmdReport(const TCliOptions& o, std::ostream& out, const std::string& from,
               const std::string& to) {
  // The days of the report, of the calls by their call time and of the SMS by their queueing.
  auto range = [&](const std::string& column) {
    std::string where;
    if (!from.empty()) where += " WHERE " + column + " >= '" + CheckDate(from) + "'";
    if (!to.empty()) {
      TDateTime day = 0;
      ParseIsoDateTime(CheckDate(to), day);
      where += std::string(where.empty() ? " WHERE " : " AND ") + column + " < '" +
               FormatDate(day + 1) + "'";
    }
    return where;
  };
  const std::string where = range("CALLTSTAMP");
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  auto names = [&](const std::string& sql) {
    std::map<std::string, std::string> m;
    for (auto& row : Query(*c, o, sql).Rows) m[row.at(0)] = row.at(1);
    return m;
  };
  auto resources = names("SELECT LOPNR, CALLNAME FROM CALLABLES");
  auto stations = names("SELECT LOPNR, STATIONNAME FROM STATIONS");
  auto log = Query(*c, o,
                   "SELECT CALLABLESLOPNR, STATIONSLOPNR, CALLTSTAMP, COMINGTSTAMP, CONFIRMTSTAMP "
                   "FROM CALLLOG" + where);
  auto name = [](const std::map<std::string, std::string>& m, const std::string& n) {
    auto it = m.find(n);
    return it == m.end() ? "[" + n + "]" : it->second;
  };
  std::vector<TCallTimes> calls;
  try {
    for (auto& row : log.Rows) {
      TCallTimes t;
      t.Resource = name(resources, row.at(0));
      t.Station = name(stations, row.at(1));
      auto called = ParseSeconds(row.at(2));
      if (!called) continue;  // a row without a call time says nothing about response
      t.Called = *called;
      t.Answered = ParseSeconds(row.at(3));
      t.Closed = ParseSeconds(row.at(4));
      calls.push_back(t);
    }
  } catch (const std::exception& e) {
    throw ECliFailure(std::string("the call log could not be read: ") + e.what());
  }
  std::map<std::string, TSmsCounts> sms;
  for (auto& row : Query(*c, o,
                         "SELECT CALLABLESLOPNR, STATE, COUNT(*) AS N FROM SMSOUTBOX" +
                             range("QUEUEDTSTAMP") + " GROUP BY CALLABLESLOPNR, STATE")
                       .Rows) {
    TSmsCounts& counts = sms[name(resources, row.at(0))];
    const int n = std::atoi(row.at(2).c_str());
    const std::string& state = row.at(1);
    if (state == "sent") counts.Sent += n;
    else if (state == "expired") counts.Expired += n;
    else if (state == "cancelled") counts.Cancelled += n;
    else if (state == "failed") counts.Failed += n;  // queued and sending are not finished yet
  }
  WriteTable(out, BuildResponseReport(calls, sms), o.Format);
}

void CmdSms(const TCliOptions& o, std::ostream& out, const std::string& state,
            const std::string& from) {
  static const char* const kStates[] = {"queued", "sending", "sent", "expired", "cancelled", "failed"};
  std::string where;
  if (!state.empty()) {
    if (std::find(std::begin(kStates), std::end(kStates), state) == std::end(kStates))
      throw ECliUsage("not a state of the outbox (queued, sending, sent, expired, cancelled, "
                      "failed): " + state);
    where = " WHERE STATE = '" + state + "'";
  }
  if (!from.empty())
    where += std::string(where.empty() ? " WHERE" : " AND") + " QUEUEDTSTAMP >= '" +
             CheckDate(from) + "'";
  auto c = Connect(o);
  SignOnAdmin(*c, o);
  std::map<std::string, std::string> resources;
  for (auto& row : Query(*c, o, "SELECT LOPNR, CALLNAME FROM CALLABLES").Rows)
    resources[row.at(0)] = row.at(1);
  // "~" separates the values of a reply: an error text that holds one is shown with "-".
  auto rows = Query(*c, o,
                    "SELECT LOPNR, CALLLOGLOPNR, CALLABLESLOPNR, SMSNUMMER, STATE, ATTEMPTS, "
                    "QUEUEDTSTAMP, NEXTATTEMPT, FINISHEDTSTAMP, REPLACE(LASTERROR, '~', '-') "
                    "AS LASTERROR FROM SMSOUTBOX" + where + " ORDER BY LOPNR");
  TTable t;
  t.Columns = {"sms", "call", "resource", "number", "state", "attempts",
               "queued", "next_attempt", "finished", "last_error"};
  auto time = [](const std::string& text) { return Zero(text) ? std::string() : text; };
  for (auto& r : rows.Rows) {
    auto it = resources.find(r.at(2));
    t.Rows.push_back({r.at(0), r.at(1), it == resources.end() ? "[" + r.at(2) + "]" : it->second,
                      r.at(3), r.at(4), r.at(5), time(r.at(6)), time(r.at(7)), time(r.at(8)),
                      r.at(9)});
  }
  WriteTable(out, t, o.Format);
}

void CmdRaw(const TCliOptions& o, std::ostream& out, const std::string& text, bool lineMode) {
  auto c = Connect(o);
  c->SendRaw(lineMode ? text + "\r\n" : "#DATASTART#" + text + "#DATAEND#");
  const std::string got = c->ReadQuiet(milliseconds(300), Deadline(o));
  out << got;
  if (!got.empty() && got.back() != '\n') out << "\n";
  if (got.empty()) throw ECliFailure("no answer in time");
}

}  // namespace tavo::cli

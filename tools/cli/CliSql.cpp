// sql, exec, report and sms: the client's own statements through OPENSQL and EXECSQL, and the
// call log and the SMS outbox read through OPENSQL. Quotes travel as "#" (SqlQuoting.h). Field 1 of both blocks asks the server for the outcome (RETSQLSTATUS):
// a statement the database refuses is reported with the database's own message, one that
// AdminCommandsFrom refuses as refused, and exec prints how many rows it changed.
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <regex>

#include "ResponseReport.h"
#include "Session.h"
#include "SqlQuoting.h"
#include "admin/RemoteSqlCommands.h"
#include "common/DateTime.h"

namespace tavo::cli {

namespace {

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

// The outcome the server reported, as "OK:rows" (EXECSQL only); throws ECliFailure for a
// refusal, a failure or no report at all. Nothing when the request's own reply stands
// in for it (an OPENSQL that ran).
std::optional<std::string> Outcome(const TAdminSession::TAnswer& a, const std::string& command) {
  for (auto& m : a.Messages) {
    auto status = BlockPayload(m, kSqlStatusKeyword);
    if (!status) continue;
    if (status->rfind("FAILED:", 0) == 0)
      throw ECliFailure("the database refused the statement: " + status->substr(7));
    if (status->rfind("REFUSED:", 0) == 0)
      throw ECliFailure("the server refused " + command + ": " + status->substr(8) +
                        " (its registry value AdminCommandsFrom decides who may)");
    if (status->rfind("OK:", 0) == 0) return status->substr(3);
  }
  return std::nullopt;
}

TSqlResult Query(TAdminSession& s, const std::string& sql) {
  auto answer = s.Send(RequestBlock("OPENSQL", std::string(kSqlStatusRequest) + ":" +
                                                   EncodeOrUsage(sql, ':')));
  Outcome(answer, "OPENSQL");
  for (auto& m : answer.Messages)
    if (auto payload = BlockPayload(m, "RETSQL")) {
      try {
        return ParseSql(*payload);
      } catch (const std::runtime_error& e) {
        throw ECliFailure(e.what());
      }
    }
  throw ECliFailure("the server sent neither rows nor an outcome (is it older than this "
                    "tavo-cli? its event log says what became of the query)");
}

void Report(const TCliOptions& o, std::ostream& out, const std::string& from,
               const std::string& to) {
  if (!from.empty() && !to.empty() && CheckDate(from) > CheckDate(to))
    throw ECliUsage("--from " + from + " is after --to " + to);
  // The days of the report: the calls by their call time, the SMS by when they were queued.
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
  TAdminSession s(o);
  auto names = [&](const std::string& sql) {
    std::map<std::string, std::string> m;
    for (auto& row : Query(s, sql).Rows) m[row.at(0)] = row.at(1);
    return m;
  };
  auto resources = names("SELECT LOPNR, CALLNAME FROM CALLABLES");
  auto stations = names("SELECT LOPNR, STATIONNAME FROM STATIONS");
  auto log = Query(s,
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
  for (auto& row : Query(s, "SELECT CALLABLESLOPNR, STATE, COUNT(*) AS N FROM SMSOUTBOX" +
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

void Outbox(const TCliOptions& o, std::ostream& out, const std::string& state,
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
  TAdminSession s(o);
  std::map<std::string, std::string> resources;
  for (auto& row : Query(s, "SELECT LOPNR, CALLNAME FROM CALLABLES").Rows)
    resources[row.at(0)] = row.at(1);
  // "~" separates the values of a reply: an error text that holds one is shown with "-".
  auto rows = Query(s,
                    "SELECT LOPNR, CALLLOGLOPNR, CALLABLESLOPNR, SMSNUMMER, STATE, ATTEMPTS, "
                    "QUEUEDTSTAMP, NEXTATTEMPT, FINISHEDTSTAMP, REPLACE(LASTERROR, '~', '-') "
                    "AS LASTERROR FROM SMSOUTBOX" + where + " ORDER BY LOPNR");
  TTable t;
  t.Columns = {"sms", "call", "resource", "number", "state", "attempts",
               "queued", "next_attempt", "finished", "last_error"};
  t.Kinds = {TCellKind::Number,   TCellKind::Number,   TCellKind::Text,     TCellKind::Text,
             TCellKind::Text,     TCellKind::Number,   TCellKind::Text,     TCellKind::Optional,
             TCellKind::Optional, TCellKind::Optional};
  auto time = [](const std::string& text) {
    return text.empty() || text.rfind("1899-12-30", 0) == 0 ? std::string() : text;
  };
  for (auto& r : rows.Rows) {
    auto it = resources.find(r.at(2));
    t.Rows.push_back({r.at(0), r.at(1), it == resources.end() ? "[" + r.at(2) + "]" : it->second,
                      r.at(3), r.at(4), r.at(5), time(r.at(6)), time(r.at(7)), time(r.at(8)),
                      r.at(9)});
  }
  WriteTable(out, t, o.Format);
}


struct TSqlArgs {
  std::vector<std::string> Words;
  std::string From, To, State;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (auto& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

}  // namespace

void AddSqlCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  auto q = std::make_shared<TSqlArgs>();
  set.Add(app, "sql",
          "Runs a query (OPENSQL, quotes sent as \"#\") and shows its rows, every value as "
          "text: the protocol carries no types. Signs on as administration client first.",
          [q](const TCliOptions& o, std::ostream& out) {
            const std::string statement = Joined(q->Words);
            EncodeOrUsage(statement, ':');  // refused before anything is sent
            TAdminSession s(o);
            TSqlResult r = Query(s, statement);
            WriteTable(out, {r.Columns, r.Rows}, o.Format);
          })
      ->add_option("STATEMENT", q->Words, "The query")
      ->required();

  auto e = std::make_shared<TSqlArgs>();
  set.Add(app, "exec",
          "Executes a statement without rows (EXECSQL, quotes sent as \"#\") and prints how "
          "many rows it changed. Signs on as administration client first.",
          [e](const TCliOptions& o, std::ostream& out) {
            const std::string encoded = EncodeOrUsage(Joined(e->Words), '$');
            TAdminSession s(o);
            auto answer = s.Send(RequestBlock(
                "EXECSQL", std::string(kSqlStatusRequest) + "$" + encoded, '$'));
            auto rows = Outcome(answer, "EXECSQL");
            if (!rows)
              throw ECliFailure("the server did not report the outcome (is it older than this "
                                "tavo-cli? its event log says whether the statement ran)");
            // -1: the database did not say.
            WriteTable(out, {{"changed_rows"}, {{*rows == "-1" ? "" : *rows}}, {TCellKind::Number}},
                       o.Format);
          })
      ->add_option("STATEMENT", e->Words, "The statement")
      ->required();

  auto r = std::make_shared<TSqlArgs>();
  auto* report = set.Add(
      app, "report",
      "Response times from the call log per resource and per calling station: calls, "
      "answered, never answered, median and 90th percentile of the seconds to answer "
      "(CALLTSTAMP to COMINGTSTAMP) and to close (to CONFIRMTSTAMP); per resource how its SMS "
      "ended (sent, expired, cancelled, failed). Reads through OPENSQL after signing on as "
      "administration client.",
      [r](const TCliOptions& o, std::ostream& out) { Report(o, out, r->From, r->To); });
  report->add_option("--from", r->From, "First day, yyyy-MM-dd");
  report->add_option("--to", r->To, "Last day, yyyy-MM-dd (included)");

  auto m = std::make_shared<TSqlArgs>();
  auto* sms = set.Add(
      app, "sms",
      "The SMS outbox, oldest first: each SMS's call, resource, number, state (queued, sending, "
      "sent, expired, cancelled, failed), attempts, times and last error. Reads SMSOUTBOX "
      "through OPENSQL after signing on as administration client.",
      [m](const TCliOptions& o, std::ostream& out) { Outbox(o, out, m->State, m->From); });
  sms->add_option("--state", m->State, "Only SMS in this state");
  sms->add_option("--from", m->From, "Only SMS queued on this day (yyyy-MM-dd) or later");
}

}  // namespace tavo::cli

#include "service/MetricsServer.h"

#include <cstdio>
#include <sstream>

#include "common/Win1252.h"

namespace tavo {

namespace {

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void Head(std::ostream& out, const std::string& name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

void Single(std::ostream& out, const std::string& name, const char* type, const char* help,
            double value) {
  Head(out, name, type, help);
  out << name << " " << Number(value) << "\n";
}

void Histogram(std::ostream& out, const std::string& name, const char* help,
               const THistogram& h) {
  Head(out, name, "histogram", help);
  const auto s = h.Snapshot();
  for (size_t i = 0; i < s.Bounds.size(); ++i)
    out << name << "_bucket{le=\"" << Number(s.Bounds[i]) << "\"} " << s.Cumulative[i] << "\n";
  out << name << "_bucket{le=\"+Inf\"} " << s.Count << "\n";
  out << name << "_sum " << Number(s.Sum) << "\n" << name << "_count " << s.Count << "\n";
}

// A label value of the text format: UTF-8, with backslash, quote and line feed escaped.
std::string LabelValue(const std::string& ansi) {
  std::string out;
  for (char c : AnsiToUtf8(ansi)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string JsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    out += c;
  }
  return out;
}

}  // namespace

std::string RenderMetrics(const TMetrics& m, const TOperatingSnapshot& st, double startTime,
                          const std::string& version) {
  std::ostringstream out;
  Head(out, "tavo_connections", "gauge", "Open client connections by listener and client kind.");
  for (auto& [key, n] : st.Connections)
    out << "tavo_connections{listener=\"" << key.first << "\",kind=\"" << key.second << "\"} " << n
        << "\n";
  Single(out, "tavo_open_calls", "gauge", "Calls open now.", st.OpenCalls);
  Single(out, "tavo_oldest_unanswered_call_seconds", "gauge",
         "How long the longest-waiting call nobody has answered has waited; 0 for none.",
         st.OldestUnansweredSeconds);
  Single(out, "tavo_escalations_total", "counter", "Escalation steps taken.",
         double(m.Escalations.load()));
  Head(out, "tavo_station_up", "gauge",
       "Supervised display and hardware stations: 0 once reported offline, else 1.");
  for (const auto& station : st.Stations)
    out << "tavo_station_up{station=\"" << LabelValue(station.Name) << "\",type=\"" << station.Type
        << "\"} " << (station.Up ? 1 : 0) << "\n";
  Single(out, "tavo_stations_offline", "gauge", "Supervised stations reported offline now.",
         st.StationsOffline);
  Single(out, "tavo_calls_opened_total", "counter", "Calls opened.", double(m.CallsOpened.load()));
  Single(out, "tavo_calls_answered_total", "counter", "Calls answered (first answer).",
         double(m.CallsAnswered.load()));
  Single(out, "tavo_calls_confirmed_total", "counter", "Calls confirmed (closed).",
         double(m.CallsConfirmed.load()));
  Histogram(out, "tavo_call_answer_seconds", "Time from a call to its first answer.", m.TimeToAnswer);
  Histogram(out, "tavo_call_close_seconds", "Time from a call to its confirmation.", m.TimeToClose);
  Head(out, "tavo_broadcasts_total", "counter", "Broadcasts of lists by kind.");
  for (size_t k = 0; k < m.Broadcasts.size(); ++k)
    out << "tavo_broadcasts_total{kind=\"" << BroadcastKindName(static_cast<TBroadcastKind>(k))
        << "\"} " << m.Broadcasts[k].load() << "\n";
  Histogram(out, "tavo_broadcast_seconds", "Time one broadcast takes.", m.BroadcastSeconds);
  Single(out, "tavo_sms_dispatches_started_total", "counter", "SMS attempts started.",
         double(m.SmsStarted.load()));
  Single(out, "tavo_sms_dispatches_delivered_total", "counter",
         "SMS attempts the gateway accepted.", double(m.SmsDelivered.load()));
  Single(out, "tavo_sms_dispatches_failed_total", "counter",
         "SMS attempts that failed (each is retried while the SMS is valid).",
         double(m.SmsFailed.load()));
  Single(out, "tavo_sms_queued", "gauge", "SMS in the outbox not finished yet.",
         double(m.SmsQueued.load()));
  Single(out, "tavo_sms_oldest_queued_seconds", "gauge",
         "Age of the oldest SMS not finished yet (0 when none).", m.SmsOldestQueuedSeconds.load());
  Head(out, "tavo_sms_finished_total", "counter", "SMS of the outbox finished, by how they ended.");
  for (size_t k = 0; k < m.SmsFinished.size(); ++k)
    out << "tavo_sms_finished_total{state=\"" << SmsFinalName(static_cast<TSmsFinal>(k)) << "\"} "
        << m.SmsFinished[k].load() << "\n";
  Histogram(out, "tavo_sms_delivery_seconds", "Time from an SMS's queueing to the gateway taking it.",
            m.SmsDeliverySeconds);
  Single(out, "tavo_web_streams", "gauge", "Event streams of the browser pages open now.",
         double(m.WebStreams.load()));
  Single(out, "tavo_web_streams_refused_total", "counter",
         "Event streams refused because WebDisplayMaxStreams were open.",
         double(m.WebStreamsRefused.load()));
  Single(out, "tavo_web_streams_dropped_total", "counter",
         "Event streams closed because their browser took nothing for 10 s.",
         double(m.WebStreamsDropped.load()));
  Single(out, "tavo_database_statements_total", "counter", "Database statements run.",
         double(m.DbStatements.load()));
  Single(out, "tavo_database_failures_total", "counter", "Database statements that failed.",
         double(m.DbFailures.load()));
  Single(out, "tavo_database_up", "gauge", "1 when the database answered its last check.",
         st.DatabaseOk && st.DatabaseUp ? 1 : 0);
  Single(out, "tavo_database_outages_total", "counter",
         "Times the database connection was lost and calls were kept in the journal.",
         double(st.DatabaseOutages));
  Single(out, "tavo_journal_records", "gauge",
         "Call-log writes kept in the journal for the database.", double(st.JournalRecords));
  Head(out, "tavo_role", "gauge", "1 for the role this server has in a standby pair.");
  for (const char* role : {"serving", "standby"})
    out << "tavo_role{role=\"" << role << "\"} " << (st.Role == role ? 1 : 0) << "\n";
  Single(out, "tavo_error_count", "gauge",
         "ErrorCount: handled failures since start, towards the automatic restart.", st.ErrorCount);
  Head(out, "tavo_restarts_total", "counter", "Restarts this process asked for, by cause.");
  for (size_t c = 0; c < m.Restarts.size(); ++c)
    out << "tavo_restarts_total{cause=\"" << RestartCauseName(static_cast<TRestartCause>(c))
        << "\"} " << m.Restarts[c].load() << "\n";
  Single(out, "process_start_time_seconds", "gauge", "Start time of the process, Unix seconds.",
         startTime);
  Head(out, "tavo_build_info", "gauge", "The server's version.");
  out << "tavo_build_info{version=\"" << version << "\"} 1\n";
  return out.str();
}

int RenderHealth(const TOperatingSnapshot& st, std::chrono::steady_clock::time_point now,
                 std::string& body) {
  std::string reason;
  const double loopAge = std::chrono::duration<double>(now - st.LoopTurned).count();
  if (!st.Published)
    reason = "the server has not finished starting";
  else if (!st.DatabaseOk && st.DatabaseUp)
    reason = "database: " + st.DatabaseProblem;
  else if (!st.MainListenerOpen)
    reason = "the main listener is closed";
  else if (now - st.LoopTurned > kLoopStallLimit)
    reason = "the main loop has not turned for " + std::to_string(static_cast<long>(loopAge)) + " s";
  if (reason.empty() && (!st.DatabaseUp || !st.JournalInStep)) {
    // Serving from memory: the calls reach the displays, the call log waits.
    char down[32];
    std::snprintf(down, sizeof down, "%.0f", st.DatabaseDownSeconds);
    body = std::string("{\"status\":\"degraded\",\"database\":") +
           (st.DatabaseUp ? "\"ok\"" : "\"down\",\"down_s\":" + std::string(down) +
                                            ",\"reason\":\"" + JsonEscape(st.DatabaseProblem) + "\"") +
           ",\"journal_records\":" + std::to_string(st.JournalRecords) + ",\"journal\":\"" +
           (st.JournalInStep ? std::string("ok") : "not written: " + JsonEscape(st.JournalProblem)) +
           "\"}\n";
    return 200;
  }
  if (reason.empty()) {
    char age[32];
    std::snprintf(age, sizeof age, "%.3f", loopAge);
    body = std::string("{\"status\":\"ok\",\"database\":\"ok\",\"listener\":\"open\",\"loop_age_s\":") +
           age + "}\n";
    return 200;
  }
  body = "{\"status\":\"unavailable\",\"reason\":\"" + JsonEscape(reason) + "\"}\n";
  return 503;
}

TMetricsServer::TMetricsServer(const TMetrics& metrics, const TOperatingStatus& status,
                               double startTimeSeconds, std::string version)
    : metrics_(metrics), status_(status), startTime_(startTimeSeconds), version_(std::move(version)) {}

int TMetricsServer::Answer(const std::string& method, const std::string& path, std::string& body,
                           std::string& contentType) const {
  contentType = "text/plain; charset=utf-8";
  if (method != "GET" && method != "HEAD") {
    body = "only GET\n";
    return 405;
  }
  if (path == "/metrics") {
    contentType = "text/plain; version=0.0.4; charset=utf-8";
    body = RenderMetrics(metrics_, status_.Read(), startTime_, version_);
    return 200;
  }
  if (path == "/health") {
    contentType = "application/json";
    if (role_) return role_->Health(status_.Read(), std::chrono::steady_clock::now(), body);
    return RenderHealth(status_.Read(), std::chrono::steady_clock::now(), body);
  }
  body = "not found\n";
  return 404;
}

}  // namespace tavo

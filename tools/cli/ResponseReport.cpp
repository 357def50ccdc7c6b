#include "ResponseReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "common/DateTime.h"

namespace tavo::cli {

std::optional<double> ParseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  TDateTime dt = 0;
  if (!ParseIsoDateTime(text, dt)) throw std::runtime_error("not a date-time: " + text);
  if (dt == 0) return std::nullopt;
  return std::round(dt * 86400.0 * 1000.0) / 1000.0;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double Percentile90(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t rank = (v.size() * 9 + 9) / 10;  // ceil(0.9 * n)
  return v[rank - 1];
}

namespace {

struct TGroup {
  int Calls = 0;
  std::vector<double> ToAnswer, ToClose;
};

std::string Seconds(const std::vector<double>& v, double (*f)(std::vector<double>)) {
  if (v.empty()) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", f(v));
  return buf;
}

void AddRows(TTable& t, const std::string& kind, const std::map<std::string, TGroup>& groups,
             const std::map<std::string, TSmsCounts>* sms) {
  for (auto& [name, g] : groups) {
    std::vector<std::string> row = {kind, name, std::to_string(g.Calls),
                                    std::to_string(g.ToAnswer.size()),
                                    std::to_string(g.Calls - static_cast<int>(g.ToAnswer.size())),
                                    Seconds(g.ToAnswer, Median), Seconds(g.ToAnswer, Percentile90),
                                    Seconds(g.ToClose, Median), Seconds(g.ToClose, Percentile90)};
    if (sms) {
      auto it = sms->find(name);
      const TSmsCounts c = it == sms->end() ? TSmsCounts{} : it->second;
      for (int n : {c.Sent, c.Expired, c.Cancelled, c.Failed}) row.push_back(std::to_string(n));
    } else {
      row.insert(row.end(), 4, "");
    }
    t.Rows.push_back(std::move(row));
  }
}

}  // namespace

TTable BuildResponseReport(const std::vector<TCallTimes>& calls,
                           const std::map<std::string, TSmsCounts>& smsByResource) {
  std::map<std::string, TGroup> byResource, byStation;
  for (auto& [name, counts] : smsByResource) byResource[name];
  for (auto& c : calls) {
    for (TGroup* g : {&byResource[c.Resource], &byStation[c.Station]}) {
      ++g->Calls;
      if (c.Answered) g->ToAnswer.push_back(*c.Answered - c.Called);
      if (c.Closed) g->ToClose.push_back(*c.Closed - c.Called);
    }
  }
  TTable t;
  t.Columns = {"by",          "name",         "calls",          "answered",
               "never_answered", "answer_median_s", "answer_p90_s", "close_median_s",
               "close_p90_s", "sms_sent",     "sms_expired",    "sms_cancelled",
               "sms_failed"};
  t.Kinds = {TCellKind::Text,   TCellKind::Text,   TCellKind::Number, TCellKind::Number,
             TCellKind::Number, TCellKind::Number, TCellKind::Number, TCellKind::Number,
             TCellKind::Number, TCellKind::Number, TCellKind::Number, TCellKind::Number,
             TCellKind::Number};
  AddRows(t, "resource", byResource, &smsByResource);
  AddRows(t, "station", byStation, nullptr);
  return t;
}

}  // namespace tavo::cli

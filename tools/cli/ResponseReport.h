// Response times from the call log: per resource and per calling station, the number of calls,
// how many were answered, how many never were, and the median and 90th percentile of the time
// to answer (call -> answer) and the time to close (call -> confirm), in seconds; per resource
// also how its SMS ended (sent, expired, cancelled, failed).
// Median: the middle value, or the mean of the two middle values. 90th percentile: nearest
// rank, the smallest value with at least 90 % of the values at or below it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Table.h"

namespace tavo::cli {

struct TCallTimes {
  std::string Resource;  // name of the called resource
  std::string Station;   // name of the calling station
  double Called = 0;     // seconds on any common scale
  std::optional<double> Answered, Closed;
};

// Parses a date-time text of a query result into seconds; nothing for empty text or the zero
// date (1899-12-30); throws std::runtime_error for anything else that is not a date-time.
std::optional<double> ParseSeconds(const std::string& text);

double Median(std::vector<double> values);
double Percentile90(std::vector<double> values);

// How a resource's SMS ended.
struct TSmsCounts {
  int Sent = 0, Expired = 0, Cancelled = 0, Failed = 0;
};

// Rows "resource" (sorted by name) then "station" (sorted by name). A resource with SMS but no
// calls gets a row of its own; station rows leave the SMS columns empty.
TTable BuildResponseReport(const std::vector<TCallTimes>& calls,
                           const std::map<std::string, TSmsCounts>& smsByResource = {});

}  // namespace tavo::cli

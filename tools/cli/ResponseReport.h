// Response times from the call log: per resource and per calling station, the number of calls,
// how many were answered, how many never were, and the median and 90th percentile of the time
// to answer (call -> answer) and the time to close (call -> confirm), in seconds.
// Median: the middle value, or the mean of the two middle values. 90th percentile: nearest
// rank, the smallest value with at least 90 % of the values at or below it.
#pragma once

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

// Rows "resource" (sorted by name) then "station" (sorted by name).
TTable BuildResponseReport(const std::vector<TCallTimes>& calls);

}  // namespace tavo::cli

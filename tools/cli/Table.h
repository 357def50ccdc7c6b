// A result table and its four renderings: aligned columns for a terminal, tab-separated text
// (header line first; tab, line feed and backslash escaped as \t, \n, \\), CSV and JSON (an
// array of objects, every value a string).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tavo::cli {

enum class TOutputFormat { Pretty, Tsv, Csv, Json };

struct TTable {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::string>> Rows;
};

void WriteTable(std::ostream& out, const TTable& table, TOutputFormat format);

}  // namespace tavo::cli

// A result table and its four renderings: aligned columns for a terminal, tab-separated text
// (header line first; tab, line feed and backslash escaped as \t, \n, \\), CSV and JSON (an
// array of objects; a column's kind decides whether its values are numbers, true/false or
// strings, and an empty cell of a number, flag or optional column is null there).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tavo::cli {

enum class TOutputFormat { Pretty, Tsv, Csv, Json };

// Text: always a string. Number: a decimal number. Flag: "yes" or "no". Optional: text that
// may be absent (empty).
enum class TCellKind : uint8_t { Text, Number, Flag, Optional };

struct TTable {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::string>> Rows;
  std::vector<TCellKind> Kinds = {};  // per column; Text where missing
};

void WriteTable(std::ostream& out, const TTable& table, TOutputFormat format);

}  // namespace tavo::cli

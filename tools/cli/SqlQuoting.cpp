#include "SqlQuoting.h"

#include <stdexcept>

namespace tavo::cli {

std::string EncodeStatement(const std::string& sql, char separator) {
  if (sql.find('#') != std::string::npos)
    throw std::invalid_argument(
        "a statement cannot hold \"#\": the protocol sends every quote as \"#\"; write it with "
        "the database's character function, e.g. char(35) in SQLite");
  if (sql.find(separator) != std::string::npos)
    throw std::invalid_argument(
        separator == ':'
            ? "a query cannot hold \":\": it separates the fields of OPENSQL; statements run "
              "with exec may (EXECSQL separates its fields with \"$\"), a query may write it as "
              "char(58) in SQLite"
            : "a statement cannot hold \"$\": it separates the fields of EXECSQL; write it as "
              "char(36) in SQLite");
  std::string out;
  bool inString = false;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c != '\'') {
      out += c;
      continue;
    }
    const bool afterBlank = !out.empty() && out.back() == ' ';
    if (!inString) {
      if (!afterBlank) out += ' ';  // " #" comes back as " '" exactly
      out += '#';
      inString = true;
      continue;
    }
    // Inside a string, a doubled quote stands for one quote; a single one closes the string.
    if (i + 1 < sql.size() && sql[i + 1] == '\'')
      throw std::invalid_argument(
          "a statement cannot hold a quote inside a string (''): the protocol turns every "
          "\"#\" into a quote and a blank; write it with char(39) in SQLite, or name stations "
          "and resources with tavo-cli station and resource, which carry any quote");
    out += '#';
    // Any other "#" comes back as "' ": its blank replaces the one that follows here.
    if (!afterBlank && i + 1 < sql.size() && sql[i + 1] == ' ') ++i;
    inString = false;
  }
  if (inString) throw std::invalid_argument("a string in the statement is not closed");
  return out;
}

}  // namespace tavo::cli

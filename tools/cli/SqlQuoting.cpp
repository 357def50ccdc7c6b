#include "SqlQuoting.h"

#include <stdexcept>

namespace tavo::cli {

std::string EncodeStatement(const std::string& sql, char separator) {
  if (sql.find('#') != std::string::npos)
    throw std::invalid_argument("a statement cannot contain \"#\"");
  if (sql.find(separator) != std::string::npos)
    throw std::invalid_argument(std::string("a statement sent this way cannot contain \"") +
                                separator + "\"");
  if (sql.find("''") != std::string::npos)
    throw std::invalid_argument("a statement cannot contain a quote inside a string ('')");
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
    } else {
      out += '#';
      // Any other "#" comes back as "' ": its blank replaces the one that follows here.
      if (!afterBlank && i + 1 < sql.size() && sql[i + 1] == ' ') ++i;
    }
    inString = !inString;
  }
  if (inString) throw std::invalid_argument("a string in the statement is not closed");
  return out;
}

}  // namespace tavo::cli

// The protocol carries SQL statements with "#" in place of every single quote; the server turns
// " #" back into " '" and any other "#" into "' ". EncodeStatement writes a statement so that
// it arrives exactly as meant: a closing quote's blank is left to the server to add back, and an
// opening quote that does not follow a blank gets one (outside the string, where SQL ignores it).
#pragma once

#include <string>

namespace tavo::cli {

// Throws std::invalid_argument for what the protocol cannot carry: "#", the block's own field
// separator (":" for queries, "$" for statements), a doubled quote inside a string, a string
// that is not closed.
std::string EncodeStatement(const std::string& sql, char separator);

}  // namespace tavo::cli

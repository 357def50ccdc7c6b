// The blocks that only the operator's tools (tavo-cli) send, so that their form is ours to
// choose: a request "¤KEYWORD:VERB:field:...:KEYWORD¤" with numbers and SMS numbers only, and a
// reply "¤RETKEYWORD~OK~field~...~RETKEYWORD¤" or "¤RETKEYWORD~ERROR~text~RETKEYWORD¤", whose
// "~" lets date-time texts with their ":" travel. Framed or bare like the request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ClientSocket.h"

namespace tavo {

// The fields after the keyword, trimmed (the verb first).
std::vector<std::string> ToolFields(const std::string& blockText);

// A whole number in [low, high], or nothing.
std::optional<int32_t> ToolNumber(const std::string& field, int32_t low, int32_t high);

// Builds the OK reply from its fields.
class TToolReply {
 public:
  explicit TToolReply(std::string keyword) : keyword_(std::move(keyword)) {}
  TToolReply& Add(const std::string& field);
  TToolReply& Add(int64_t number) { return Add(std::to_string(number)); }
  void Send(const TClientSocketPtr& socket, bool lineMode) const;

 private:
  std::string keyword_;
  std::string fields_;
};

void SendToolError(const std::string& keyword, const std::string& text,
                   const TClientSocketPtr& socket, bool lineMode);

}  // namespace tavo

// The blocks that only the operator's tools (tavo-cli) send, so that their form is ours to
// choose: a request "¤KEYWORD:VERB:field:...:KEYWORD¤" with numbers and SMS numbers only, and a
// reply "¤RETKEYWORD~OK~field~...~RETKEYWORD¤" or "¤RETKEYWORD~ERROR~text~RETKEYWORD¤", whose
// "~" lets date-time texts with their ":" travel. Framed or bare like the request.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "admin/AdminAccess.h"
#include "platform/ClientSocket.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

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

// Serves one tool request: without an administration sign-on (and an address that
// "AdminCommandsFrom" allows) it is refused; an ERequestError that serve throws is answered with
// its reason, a database failure logged and answered. The message goes on either way.
TCommandResult ServeToolRequest(const std::string& keyword, TAdminAccess& access, TLogging& log,
                                const TCommandContext& c, const std::function<void()>& serve);

}  // namespace tavo

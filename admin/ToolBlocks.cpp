#include "admin/ToolBlocks.h"

#include <climits>

#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "database/Database.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

std::string Reply(const std::string& keyword, const std::string& body) {
  return std::string(1, kBlockMarker) + "RET" + keyword + "~" + body + "RET" + keyword +
         std::string(1, kBlockMarker);
}

}  // namespace

std::vector<std::string> ToolFields(const std::string& blockText) {
  std::vector<std::string> fields;
  const size_t start = blockText.find(':');
  if (start == std::string::npos) return fields;
  size_t pos = start + 1;
  for (size_t next; (next = blockText.find(':', pos)) != std::string::npos; pos = next + 1)
    fields.push_back(Trim(blockText.substr(pos, next - pos)));
  // The block text ends with the first ":" of its closing tag: what follows it is no field.
  return fields;
}

std::optional<int32_t> ToolNumber(const std::string& field, int32_t low, int32_t high) {
  constexpr int32_t kNone = INT32_MIN;  // below every range asked for
  const int32_t v = StrToIntDef(field, kNone);
  if (v == kNone || v < low || v > high) return {};
  return v;
}

TToolReply& TToolReply::Add(const std::string& field) {
  fields_ += field + "~";
  return *this;
}

void TToolReply::Send(const TClientSocketPtr& socket, bool lineMode) const {
  socket->SendText(FrameReply(Reply(keyword_, "OK~" + fields_), lineMode));
}

void SendToolError(const std::string& keyword, const std::string& text,
                   const TClientSocketPtr& socket, bool lineMode) {
  std::string clean = text;
  for (char& ch : clean)
    if (ch == '~' || ch == kBlockMarker || ch == '\r' || ch == '\n') ch = ' ';
  socket->SendText(FrameReply(Reply(keyword, "ERROR~" + clean + "~"), lineMode));
}

TCommandResult ServeToolRequest(const std::string& keyword, TAdminAccess& access, TLogging& log,
                                const TCommandContext& c, const std::function<void()>& serve) {
  if (std::string why; !access.PermitSignedOn(keyword, *c.Socket, &why)) {
    SendToolError(keyword, "refused: " + why, c.Socket, c.LineMode);
    return TCommandResult::Continue;
  }
  try {
    serve();
  } catch (const ERequestError& e) {
    SendToolError(keyword, e.what(), c.Socket, c.LineMode);
  } catch (const EDatabaseError& e) {
    log.LogFailure(keyword, e, c.Socket);
    SendToolError(keyword, std::string("the database refused: ") + e.what(), c.Socket, c.LineMode);
  }
  return TCommandResult::Continue;
}

}  // namespace tavo

#include "protocol/WireFormat.h"

#include "common/RequestError.h"
#include "common/StrUtils.h"

namespace tavo {

std::string OpeningTag(std::string_view keyword, char separator) {
  std::string t(1, kBlockMarker);
  t += keyword;
  t += separator;
  return t;
}

std::string ClosingTag(std::string_view keyword, char separator) {
  std::string t(1, separator);
  t += keyword;
  t += kBlockMarker;
  return t;
}

std::string Block(std::string_view keyword, std::string_view payload) {
  std::string b = OpeningTag(keyword);
  b += payload;
  b += ClosingTag(keyword);
  return b;
}

std::string GetField(std::string_view text, int n, char separator) {
  std::string t(text);
  t += separator;
  const size_t L = t.size();
  // 1-based walk: the field starts where the count of separators passed equals n.
  size_t start = 1;
  int count = 0;
  for (size_t pos = 1; pos <= L; ++pos) {
    if (count == n) {
      start = pos;
      break;
    }
    if (t[pos - 1] == separator) ++count;
  }
  if (start == L) return "";
  std::string_view rest(t.data() + (start - 1), L - start);
  size_t cut = rest.find(separator);
  if (cut != std::string_view::npos) rest = rest.substr(0, cut);
  return Trim(rest);
}

std::string FrameReply(std::string_view content, bool lineMode) {
  std::string out;
  out.reserve(content.size() + kDataStart.size() + kDataEnd.size() + 2);
  if (!lineMode) out += kDataStart;
  out += content;
  if (!lineMode) out += kDataEnd;
  out += "\r\n";
  return out;
}

int32_t GetIntField(std::string_view text, int n, char separator) {
  const std::string field = GetField(text, n, separator);
  const int32_t a = StrToIntDef(field, 0);
  const int32_t b = StrToIntDef(field, 1);
  if (a != b) throw ERequestError("'" + QuoteClientText(field) + "' is not a valid integer value");
  return a;
}

}  // namespace tavo

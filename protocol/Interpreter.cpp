#include "protocol/Interpreter.h"

#include <stdexcept>
#include <string>

#include "protocol/WireFormat.h"
#include "platform/Logging.h"

namespace tavo {

TInterpreter::TInterpreter(TLogging& log) : log_(log) {
  struct Def {
    const char* kw;
    char sep;
    int group;
  };
  static const Def kOrder[] = {
      {"KEEPALIVE", ':', 0},          {"GETNEWCLIENT", ':', 0},
      {"SETINITEXT", ':', 0},         {"GETINITEXT", ':', 0},
      {"POSTSMSSETTINGS", ':', 0},    {"EXECSQL", '$', 0},
      {"OPENSQL", ':', 0},            {"GETSMSSETTINGS", ':', 0},
      {"GETKLINIKNAMN", ':', 0},      {"GETSERVERVERSION", ':', 0},
      {"POSTCALLABLESLIST", ':', 1},  {"REGISTERUPATEMACHINE", ':', 1},
      {"REGISTERUPATECALLABLE", ':', 1}, {"GETSTATIONCALLABLES", ':', 0},
      {"GETALLCALLABLES", ':', 0},    {"GETALLMACHINES", ':', 0},
      {"CALLING", ':', 0},            {"COMING", ':', 0},
      {"RECONNECT", ':', 0},          {"GETCALLLIST", ':', 0},
      // Only the operator's tools send these.
      {"SUPERVISION", ':', 0},        {"ESCALATION", ':', 0},
  };
  for (const Def& d : kOrder)
    table_.push_back(TEntry{d.kw, OpeningTag(d.kw, d.sep), ClosingTag(d.kw, d.sep), d.group, {}});
  std::vector<std::string> tags;
  for (const auto& e : table_) {
    tags.push_back(e.Open);
    tags.push_back(e.Close);
  }
  tags_ = std::make_unique<TTagSet>(std::move(tags));
}

void TInterpreter::SetHandler(const std::string& keyword, TCommandHandler handler) {
  for (auto& e : table_) {
    if (e.Keyword == keyword) {
      e.Handler = std::move(handler);
      return;
    }
  }
  throw std::invalid_argument("unknown command keyword " + keyword);
}

bool TInterpreter::RunEntry(size_t index, TMessageText& t, const TClientSocketPtr& socket,
                            bool lineMode) {
  TEntry& e = table_[index];
  const uint32_t open = t.First(static_cast<int>(2 * index));
  if (open == TMessageText::kNone) return true;
  const uint32_t close = t.First(static_cast<int>(2 * index + 1));
  const uint32_t L = static_cast<uint32_t>(e.Close.size());
  // Counted as the protocol does with 1-based p1 (opening) and p2 (closing, 0 when missing):
  // the block is p2 - p1 + 1 characters from p1, and p2 - p1 + L characters are cut there.
  std::string block;
  uint32_t cut = 0;
  if (close != TMessageText::kNone && close > open) {
    block = t.Slice(open, close);
    cut = static_cast<uint32_t>(block.size()) - 1 + L;
  } else if (close != TMessageText::kNone) {
    const uint32_t gap = t.Distance(close, open, L);  // p1 - p2: the closing tag stands first
    if (gap < L) cut = L - gap;
  } else {
    const uint32_t p1 = t.CharsBefore(open, L) + 1;
    if (p1 < L) cut = L - p1;
  }
  if (e.Handler) {
    const TCommandContext ctx{block, t, socket, lineMode};
    if (e.Handler(ctx) == TCommandResult::StopMessage) return false;
  }
  t.Cut(open, cut);
  return true;
}

void TInterpreter::Interpret(TMessageText& t, const TClientSocketPtr& socket) {
  for (;;) {
    const uint64_t cutsAtStart = t.Cuts();
    const bool lineMode = t.HasLineFeed();
    int groupDone = 0;
    for (size_t i = 0; i < table_.size(); ++i) {
      const TEntry& e = table_[i];
      if (e.Group != 0) {
        if (groupDone == e.Group || t.First(static_cast<int>(2 * i)) == TMessageText::kNone)
          continue;
        groupDone = e.Group;  // the others of the group wait for the next pass
      }
      if (!RunEntry(i, t, socket, lineMode)) return;
      if (t.ReadCost() > kTextReadBudget) {
        log_.Logg("DataRead: rest of a message dropped, its commands read more than " +
                      std::to_string(kTextReadBudget) + " characters of its text",
                  ltWarning);
        return;
      }
    }
    // Another pass while the text changed and something is left of it.
    if (t.Blank() || t.Cuts() == cutsAtStart) return;
  }
}

void TInterpreter::DataRead(std::string text, const TClientSocketPtr& socket) {
  try {
    TMessageText t(std::move(text), *tags_);
    Interpret(t, socket);
  } catch (const std::exception& ex) {
    // Counted unless the client's content failed rather than the server.
    log_.LogFailure("DataRead", ex);
  } catch (...) {
    log_.IncErrorCount();
    log_.Logg("Error in DataRead: unknown failure", ltError);
  }
}

}  // namespace tavo

#include "protocol/Interpreter.h"

#include <stdexcept>

#include "common/RequestError.h"
#include "common/StrUtils.h"
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
  };
  for (const Def& d : kOrder)
    table_.push_back(TEntry{d.kw, OpeningTag(d.kw, d.sep), ClosingTag(d.kw, d.sep), d.group, {}});
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

bool TInterpreter::RunEntry(TEntry& e, std::string& t, const TClientSocketPtr& socket,
                            bool lineMode) {
  const size_t open = t.find(e.Open);
  if (open == std::string::npos) return true;
  // Positions are 1-based as the protocol counts them; p2 is 0 without a closing tag.
  const long p1 = static_cast<long>(open) + 1;
  const size_t close = t.find(e.Close);
  const long p2 = close == std::string::npos ? 0 : static_cast<long>(close) + 1;
  const long count = p2 - p1 + 1;
  const std::string block = count > 0 ? t.substr(open, static_cast<size_t>(count)) : std::string();
  TCommandResult result = TCommandResult::Continue;
  if (e.Handler) {
    const TCommandContext ctx{block, t, socket, lineMode};
    result = e.Handler(ctx);
  }
  if (result == TCommandResult::StopMessage) return false;
  const long cut = p2 - p1 + static_cast<long>(e.Close.size());
  if (cut > 0) t.erase(open, static_cast<size_t>(cut));
  return true;
}

void TInterpreter::DataRead(std::string t, const TClientSocketPtr& socket) {
  try {
    for (;;) {
      const std::string start = t;
      const bool lineMode = IsLineMode(t);
      int groupDone = 0;
      for (auto& e : table_) {
        if (e.Group != 0) {
          if (groupDone == e.Group || t.find(e.Open) == std::string::npos) continue;
          groupDone = e.Group;  // the others of the group wait for the next pass
        }
        if (!RunEntry(e, t, socket, lineMode)) return;
      }
      if (Trim(t).empty() || t == start) return;
    }
  } catch (const ERequestError& ex) {
    // The client's content failed, not the server: logged, not counted towards a restart.
    log_.Logg(std::string("Error in DataRead: ") + ex.what(), ltError);
  } catch (const std::exception& ex) {
    log_.IncErrorCount();
    log_.Logg(std::string("Error in DataRead: ") + ex.what(), ltError);
  } catch (...) {
    log_.IncErrorCount();
    log_.Logg("Error in DataRead: unknown failure", ltError);
  }
}

}  // namespace tavo

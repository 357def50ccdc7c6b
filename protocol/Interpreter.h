// DataRead, the command interpreter: finds the request blocks of a message in a fixed keyword
// order, hands each to its command handler, removes it, and repeats while that changes the text.
// Commands are registered by keyword; the table of keywords and their order is fixed here.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ClientSocket.h"
#include "protocol/MessageText.h"

namespace tavo {

class TLogging;

struct TCommandContext {
  const std::string& BlockText;  // opening tag through the first character of the closing tag
  const TMessageText& Text;      // the whole text being interpreted, as it is now
  const TClientSocketPtr& Socket;
  bool LineMode;
};

enum class TCommandResult { Continue, StopMessage };

using TCommandHandler = std::function<TCommandResult(const TCommandContext&)>;

class TInterpreter {
 public:
  explicit TInterpreter(TLogging& log);

  // Registers the handler of a request keyword of the table; throws for unknown keywords.
  void SetHandler(const std::string& keyword, TCommandHandler handler);

  // Interprets one complete message; answers go to socket. Never throws.
  void DataRead(std::string text, const TClientSocketPtr& socket);

  // Handlers of one message may read its whole text at most this many characters' worth
  // (Str and Field of TMessageText); beyond it the rest of the message is dropped.
  static constexpr size_t kTextReadBudget = 4 * 1024 * 1024;

  struct TEntry {
    std::string Keyword;
    std::string Open;
    std::string Close;
    int Group = 0;  // entries sharing a group number: only the first found runs in a pass
    TCommandHandler Handler;
  };
  const std::vector<TEntry>& Table() const { return table_; }

 private:
  // Runs one entry's block if its opening tag occurs; returns false when the message stops.
  bool RunEntry(size_t index, TMessageText& t, const TClientSocketPtr& socket, bool lineMode);
  void Interpret(TMessageText& t, const TClientSocketPtr& socket);

  TLogging& log_;
  std::vector<TEntry> table_;
  std::unique_ptr<TTagSet> tags_;  // entry i: opening tag 2i, closing tag 2i + 1
};

}  // namespace tavo

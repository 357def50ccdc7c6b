#include "admin/RemoteSqlCommands.h"

#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "database/SqlHelpers.h"
#include "protocol/ServerSocket.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

// The largest RETSQL payload: what a connection may have waiting, less the framing.
size_t PayloadLimit() {
  return TServerSocket::kMaxUnsentBytes - FrameReply(Block("RETSQL", ""), false).size();
}

}  // namespace

std::string DecodeSqlQuotes(std::string statement) {
  ReplaceAll(statement, " #", " '");
  ReplaceAll(statement, "#", "' ");
  return statement;
}

std::string StatusFieldText(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20)
      out += ' ';
    else if (ch == kBlockMarker)
      out += '?';
    else
      out += ch;
  }
  ReplaceAll(out, "#DATA", "# DATA");
  return out;
}

std::string RenderSqlRows(TQuery& query, size_t limit) {
  const auto& columns = query.Columns();
  std::string out;
  for (size_t row = 0; !query.Eof(); query.Next(), ++row) {
    out += std::to_string(row) + ":" + kBlockMarker + "%";
    for (size_t i = 0; i < columns.size(); ++i)
      out += columns[i].Name + "|" + TQuery::ToString(query.Value(i)) + "~";
    out += std::string("%") + kBlockMarker + ":";
    if (out.size() > limit)
      throw EReadLimitExceeded("the result of the query passes the limit of " +
                               std::to_string(limit) + " bytes");
  }
  return out;
}

TRemoteSqlCommands::TRemoteSqlCommands(TDatabase& db, TLogging& log, TAdminHost& host,
                                       TAdminAccess& access, TCallService& calls)
    : db_(db),
      log_(log),
      host_(host),
      access_(access),
      calls_(calls) {}

void TRemoteSqlCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("EXECSQL", [this](const TCommandContext& c) { return CmdExecSql(c); });
  interpreter.SetHandler("OPENSQL", [this](const TCommandContext& c) { return CmdOpenSql(c); });
}

bool TRemoteSqlCommands::Permitted(const std::string& command, const TCommandContext& c,
                                   bool report) {
  std::string why;
  if (access_.Permit(command, *c.Socket, &why)) return true;
  if (report) SendStatus(c, "REFUSED:" + StatusFieldText(why));
  return false;
}

void TRemoteSqlCommands::SendStatus(const TCommandContext& c, const std::string& status) {
  c.Socket->SendText(FrameReply(Block(kSqlStatusKeyword, status), c.LineMode));
}

TCommandResult TRemoteSqlCommands::CmdExecSql(const TCommandContext& c) {
  const bool report = GetField(c.BlockText, 1, '$') == kSqlStatusRequest;
  if (!Permitted("EXECSQL", c, report)) return TCommandResult::Continue;
  const std::string statement = DecodeSqlQuotes(GetField(c.BlockText, 2, '$'));
  int64_t changed = -1;
  try {
    changed = db_.Execute(statement);
  } catch (const std::exception& e) {
    // A text of several statements may have run in part.
    calls_.DatabaseChanged();
    if (report) SendStatus(c, std::string("FAILED:") + StatusFieldText(e.what()));
    throw ERequestError("EXECSQL from " + PeerText(*c.Socket) + ": " + QuoteClientText(statement) +
                        ": " + e.what());
  }
  calls_.DatabaseChanged();
  log_.Logg("EXECSQL from " + PeerText(*c.Socket) + ": " + QuoteClientText(statement), ltInfo);
  RefreshClients(c.LineMode);
  if (report) SendStatus(c, "OK:" + std::to_string(changed));
  return TCommandResult::Continue;
}

void TRemoteSqlCommands::RefreshClients(bool lineMode) {
  calls_.FillCallList();
  for (const auto& socket : host_.MainConnections()) {
    if (!socket->Data || socket->Data->StationType != ctCall) continue;
    try {
      calls_.UpdateStationClients(socket, lineMode);
    } catch (const std::exception& e) {
      log_.IncErrorCount();
      log_.Logg(std::string("Error in UpdateStationClients: ") + e.what(), ltError);
    }
  }
  calls_.UpdateVisningsScreens();
}

TCommandResult TRemoteSqlCommands::CmdOpenSql(const TCommandContext& c) {
  const bool report = GetField(c.BlockText, 1) == kSqlStatusRequest;
  if (!Permitted("OPENSQL", c, report)) return TCommandResult::Continue;
  const std::string statement = DecodeSqlQuotes(GetField(c.BlockText, 2));
  const size_t limit = PayloadLimit();
  std::string rows;
  try {
    std::unique_ptr<TQuery> query;
    {
      // Reading stops near the reply's limit already, so a huge result never fills the memory.
      TReadLimitScope bound(db_, limit);
      query = RunSQLOrThrow(db_, log_, statement);
    }
    rows = RenderSqlRows(*query, limit);
  } catch (const EReadLimitExceeded& e) {
    calls_.DatabaseChanged();
    if (report) SendStatus(c, std::string("FAILED:") + StatusFieldText(e.what()));
    throw ERequestError("OPENSQL from " + PeerText(*c.Socket) + ": " + e.what() +
                        " of one reply; nothing was sent");
  } catch (const std::exception& e) {
    calls_.DatabaseChanged();
    if (report) SendStatus(c, std::string("FAILED:") + StatusFieldText(e.what()));
    throw ERequestError("OPENSQL from " + PeerText(*c.Socket) + ": the query could not be opened: " +
                        e.what());
  }
  // A query can change data too (a function, RETURNING).
  calls_.DatabaseChanged();
  c.Socket->SendText(FrameReply(Block("RETSQL", rows), c.LineMode));
  return TCommandResult::Continue;
}

}  // namespace tavo

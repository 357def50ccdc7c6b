// EXECSQL and OPENSQL: a client's own statement on the server's database connection. A
// statement that ran is written to the event log with the sender's address; after EXECSQL the
// call state is reloaded and every call station and display refreshed. OPENSQL answers with
// all rows in one RETSQL block, within the connection's outgoing limit.
#pragma once

#include <string>

#include "admin/AdminAccess.h"
#include "admin/AdminHost.h"
#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

// Clients write "#" for a quote: first every " #" becomes " '", then every "#" left "' ".
std::string DecodeSqlQuotes(std::string statement);

// Field 1 of EXECSQL and OPENSQL, which the server otherwise never reads: a sender that puts
// this text there is told the outcome in a RETSQLSTATUS block, "OK:" + the rows EXECSQL
// changed (-1 where the database cannot tell), "FAILED:" + the database's message, or
// "REFUSED:" + why the access rule refused it. An OPENSQL that runs is answered by its RETSQL
// alone. Without this text nothing changes: no client of the clinic ever sends it.
inline constexpr const char* kSqlStatusRequest = "TAVO-CLI-STATUS";
inline constexpr const char* kSqlStatusKeyword = "RETSQLSTATUS";

// A failure text as one field of a reply: control characters become blanks, the block marker
// "?", and "#DATA" is broken up so that no framing marker can appear in it.
std::string StatusFieldText(const std::string& text);

// The RETSQL payload of a result from its current row on: per row its number, ":¤%", each
// column as name "|" value "~", and "%¤:". Throws EReadLimitExceeded once the payload would
// pass limit bytes.
std::string RenderSqlRows(TQuery& query, size_t limit);

class TRemoteSqlCommands {
 public:
  TRemoteSqlCommands(TDatabase& db, TLogging& log, TAdminHost& host, TAdminAccess& access,
                     TCallService& calls);

  // Registers EXECSQL and OPENSQL.
  void RegisterCommands(TInterpreter& interpreter);

  TCommandResult CmdExecSql(const TCommandContext& c);
  TCommandResult CmdOpenSql(const TCommandContext& c);

 private:
  // Reloads the call state and sends every call station and display its fresh list.
  void RefreshClients(bool lineMode);
  // True when access allows the command; otherwise a sender that asked for the outcome is
  // told the refusal.
  bool Permitted(const std::string& command, const TCommandContext& c, bool report);
  static void SendStatus(const TCommandContext& c, const std::string& status);

  TDatabase& db_;
  TLogging& log_;
  TAdminHost& host_;
  TAdminAccess& access_;
  TCallService& calls_;
};

}  // namespace tavo

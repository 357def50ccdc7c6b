#include "sms/SmsOutboxStore.h"

#include <string>

#include "database/DatabaseConnection.h"
#include "database/SqlHelpers.h"

namespace tavo {
namespace {

// The table in each product's own types, as the schema scripts declare the other tables.
std::string CreateTableStatement(TDbmsKind dbms) {
  const bool pg = dbms == TDbmsKind::PostgreSQL;
  const bool mssql = dbms == TDbmsKind::SqlServer;
  const std::string integer = mssql ? "INT" : "INTEGER";
  const std::string key = dbms == TDbmsKind::SQLite ? "INTEGER PRIMARY KEY" : integer + " NOT NULL PRIMARY KEY";
  const std::string datetime = pg ? "TIMESTAMP(3)" : "DATETIME";
  auto text = [](size_t width) { return "VARCHAR(" + std::to_string(width) + ")"; };
  return "CREATE TABLE SMSOUTBOX ("
         "LOPNR " + key + ", "
         "CALLLOGLOPNR " + integer + ", "
         "CALLABLESLOPNR " + integer + ", "
         "SMSNUMMER " + text(kSmsNumberWidth) + " NULL, "
         "CALLERNAME " + text(kSmsNameWidth) + " NULL, "
         "CALLNAME " + text(kSmsNameWidth) + " NULL, "
         "STATE VARCHAR(10), "
         "ATTEMPTS " + integer + ", "
         "NEXTATTEMPT " + datetime + " NULL, "
         "LASTERROR " + text(kSmsErrorWidth) + " NULL, "
         "QUEUEDTSTAMP " + datetime + ", "
         "FINISHEDTSTAMP " + datetime + " NULL)";
}

std::string Fit(const std::string& text, size_t width) {
  return text.size() > width ? text.substr(0, width) : text;
}

TSqlValue TimeOrNull(TDateTime t) { return t == 0 ? SqlNull() : SqlDateTime(t); }

}  // namespace

// No index beside the key: the table holds SmsKeepDays of SMS, which the start, the clean-up and
// the report read through in milliseconds, while an index would be written in the transaction
// of every call to an SMS-marked resource (three of them made it cost 20 us more on SQLite).
bool TSmsOutboxStore::EnsureTable() {
  if (TableExists(db_, "SMSOUTBOX")) return false;
  db_.Execute(CreateTableStatement(db_.Dbms()));
  return true;
}

void TSmsOutboxStore::Insert(TSmsRow& row) {
  row.Lopnr = RunSQLOrThrow(db_, log_, "SELECT MAX(LOPNR) AS COLUMN1 FROM SMSOUTBOX")
                  ->AsInteger("COLUMN1") + 1;
  const TSmsRequest& r = row.Request;
  db_.Execute(
      "INSERT INTO SMSOUTBOX (LOPNR, CALLLOGLOPNR, CALLABLESLOPNR, SMSNUMMER, CALLERNAME, "
      "CALLNAME, STATE, ATTEMPTS, NEXTATTEMPT, LASTERROR, QUEUEDTSTAMP, FINISHEDTSTAMP) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {SqlInt(row.Lopnr), SqlInt(r.CallLogLopnr), SqlInt(r.ResourceLopnr),
       SqlText(Fit(r.Number, kSmsNumberWidth)), SqlText(Fit(r.CallerName, kSmsNameWidth)),
       SqlText(Fit(r.CallName, kSmsNameWidth)), SqlText(SmsStateName(row.State)),
       SqlInt(row.Attempts), TimeOrNull(row.NextAttempt),
       row.LastError.empty() ? SqlNull() : SqlText(Fit(row.LastError, kSmsErrorWidth)),
       SqlDateTime(row.QueuedAt), TimeOrNull(row.FinishedAt)});
}

bool TSmsOutboxStore::Update(const TSmsRow& row) {
  return db_.Execute(
             "UPDATE SMSOUTBOX SET STATE = ?, ATTEMPTS = ?, NEXTATTEMPT = ?, LASTERROR = ?, "
             "FINISHEDTSTAMP = ? WHERE LOPNR = ?",
             {SqlText(SmsStateName(row.State)), SqlInt(row.Attempts), TimeOrNull(row.NextAttempt),
              row.LastError.empty() ? SqlNull() : SqlText(Fit(row.LastError, kSmsErrorWidth)),
              TimeOrNull(row.FinishedAt), SqlInt(row.Lopnr)}) != 0;
}

std::vector<TSmsStoredRow> TSmsOutboxStore::LoadUnfinished() {
  auto q = RunSQLOrThrow(
      db_, log_,
      "SELECT O.LOPNR, O.CALLLOGLOPNR, O.CALLABLESLOPNR, O.SMSNUMMER, O.CALLERNAME, O.CALLNAME, "
      "O.STATE, O.ATTEMPTS, O.NEXTATTEMPT, O.LASTERROR, O.QUEUEDTSTAMP, C.COMINGTSTAMP, "
      "C.CONFIRMTSTAMP, C.CANCELTSTAMP FROM SMSOUTBOX O LEFT JOIN CALLLOG C ON "
      "C.LOPNR = O.CALLLOGLOPNR WHERE O.STATE IN ('queued', 'sending') ORDER BY O.LOPNR");
  std::vector<TSmsStoredRow> out;
  for (; !q->Eof(); q->Next()) {
    TSmsStoredRow s;
    TSmsRow& row = s.Row;
    row.Lopnr = q->AsInteger("LOPNR");
    row.Request.CallLogLopnr = q->AsInteger("CALLLOGLOPNR");
    row.Request.ResourceLopnr = q->AsInteger("CALLABLESLOPNR");
    row.Request.Number = q->AsString("SMSNUMMER");
    row.Request.CallerName = q->AsString("CALLERNAME");
    row.Request.CallName = q->AsString("CALLNAME");
    ParseSmsState(q->AsString("STATE"), row.State);
    row.Attempts = q->AsInteger("ATTEMPTS");
    row.NextAttempt = q->AsDateTime("NEXTATTEMPT");
    row.LastError = q->AsString("LASTERROR");
    row.QueuedAt = q->AsDateTime("QUEUEDTSTAMP");
    s.CallClosed = !q->IsNull("COMINGTSTAMP") || !q->IsNull("CONFIRMTSTAMP") ||
                   !q->IsNull("CANCELTSTAMP");
    out.push_back(std::move(s));
  }
  return out;
}

int64_t TSmsOutboxStore::DeleteFinished(TDateTime before, int batch) {
  const std::string n = std::to_string(batch);
  if (db_.Dbms() == TDbmsKind::SqlServer)
    return db_.Execute("DELETE TOP (" + n + ") FROM SMSOUTBOX WHERE FINISHEDTSTAMP < ?",
                       {SqlDateTime(before)});
  return db_.Execute(
      "DELETE FROM SMSOUTBOX WHERE LOPNR IN (SELECT LOPNR FROM SMSOUTBOX WHERE FINISHEDTSTAMP < ? "
      "ORDER BY LOPNR LIMIT " + n + ")",
      {SqlDateTime(before)});
}

}  // namespace tavo

// The real server over a database of either backend: an SQLite file in its program directory,
// or a PostgreSQL database of its own on the test server through psqlODBC. The test seeds the
// tables through its own connection and reads them back through it.
#pragma once

#include <memory>
#include <string>

#include "DatabaseBackends.h"
#include "integration/SeededServer.h"

namespace tavo::test {

class TBackendServer {
 public:
  explicit TBackendServer(TBackendKind kind = TBackendKind::SQLite) : kind_(kind), port_(FreePortPair()) {
    server.SetRegistry("Port", std::to_string(port_));
    if (kind_ == TBackendKind::SQLite) {
      WriteUdl(server.ProgramDir() / "TAVO.udl", "Provider=SQLite;Data Source=TAVO.sqlite");
      return;
    }
    pgName_ = PgServer().CreateDatabase();
    db_ = std::make_unique<TOdbcDatabase>(PgServer().OdbcConnectionString(pgName_));
    for (const auto& stmt : ScriptStatements(std::string(TAVO_SOURCE_DIR) + "/sql/postgresql.sql"))
      db_->Execute(stmt);
    std::string odbc = PgServer().OdbcConnectionString("postgres");
    odbc = odbc.substr(0, odbc.find(";DATABASE=")) + ";UID=tavo;";
    WriteUdl(server.ProgramDir() / "TAVO.udl",
             "Provider=MSDASQL.1;Persist Security Info=False;Data Source=127.0.0.1;Initial Catalog=" +
                 pgName_ + ";Extended Properties=\"" + odbc + "\"");
  }
  ~TBackendServer() {
    server.Stop();
    db_.reset();
    if (!pgName_.empty()) PgServer().DropDatabase(pgName_);
  }

  TBackendKind Kind() const { return kind_; }
  // The test's own connection to the server's database.
  TDatabase& Db() {
    if (!db_) db_ = std::make_unique<TSqliteDatabase>(server.ProgramDir() / "TAVO.sqlite");
    return *db_;
  }
  void Start() {
    if (kind_ == TBackendKind::SQLite) db_.reset();  // the server owns the file from here
    server.Start();
    if (!server.WaitListening(port_)) throw std::runtime_error("server did not listen: " + server.EventLog());
  }
  uint16_t Port() const { return port_; }

  void Station(int lopnr, const std::string& name, int type) {
    Db().Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                 "VALUES (?, ?, ?, 0, ?)",
                 {SqlInt(lopnr), SqlText(W(name)), SqlText(W(name)), SqlInt(type)});
  }
  void Resource(int lopnr, const std::string& name) {
    Db().Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                 "VALUES (?, ?, ?, 0, 0, 'T')",
                 {SqlInt(lopnr), SqlText(W(name)), SqlText(W(name))});
  }
  void List(int station, int resource, int ix) {
    Db().Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                 {SqlInt(station), SqlInt(resource), SqlInt(ix)});
  }
  // Text of a column of the first row of a query on the test's own connection.
  std::string Read(const std::string& sql, const std::string& column, const TSqlParams& params = {}) {
    auto q = Db().Open(sql, params);
    return q->AsString(column);
  }
  // How many event-log lines contain the text.
  size_t LogLines(const std::string& part) const {
    const std::string log = server.EventLog();
    size_t n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + part.size())) ++n;
    return n;
  }

  TServerProcess server;

 private:
  TBackendKind kind_;
  uint16_t port_;
  std::string pgName_;
  std::unique_ptr<TDatabase> db_;
};

// A framed request of a UTF-8 block text.
inline std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }

// Sends the request (if any) and returns what arrived once `until` was seen and the line went quiet.
inline std::string Ask(TLoopbackClient& c, const std::string& request, const std::string& until) {
  if (!request.empty()) c.Send(request);
  if (!c.WaitFor(until)) return "(no " + until + " in: " + c.Take() + ")";
  c.ReadFor(100);
  return c.Take();
}

// A connection signed on as an administration client.
inline std::unique_ptr<TLoopbackClient> AdminClient(uint16_t port) {
  auto c = std::make_unique<TLoopbackClient>(port);
  c->Send(Req("¤GETSERVERVERSION:Admin:2:GETSERVERVERSION¤"));
  c->WaitFor("RETSERVERVERSION" + W("¤") + "#DATAEND#\r\n");
  c->ReadFor(100);
  c->Take();
  return c;
}

}  // namespace tavo::test

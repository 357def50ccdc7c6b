// The real server over a seeded database of either backend (an SQLite file in its program
// directory, or a PostgreSQL database through psqlODBC), with loopback clients that sign on as
// stations, displays and administration clients.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DatabaseBackends.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"
#include "integration/SeededServer.h"  // W, Framed, Bare, WriteUdl

namespace tavo::test {

// A request as a client sends it: framed, or one line.
inline std::string Req(const std::string& utf8, bool line = false) {
  return line ? W(utf8) + "\r\n" : "#DATASTART#" + W(utf8) + "#DATAEND#";
}

class TAdminServer {
 public:
  explicit TAdminServer(TBackendKind kind) : kind_(kind), port_(FreePortPair()) {
    server.SetRegistry("Port", std::to_string(port_));
    if (kind == TBackendKind::SQLite) {
      WriteUdl(server.ProgramDir() / "TAVO.udl", "Provider=SQLite;Data Source=TAVO.sqlite");
    } else {
      pg_ = std::make_unique<TPostgresBackend>();
      WriteUdl(server.ProgramDir() / "TAVO.udl", "Provider=" + pg_->DataLinkProvider());
    }
  }

  // A connection of the test's own to the server's database; a new one each time, so that it
  // sees what the server has committed.
  std::unique_ptr<TDatabase> OpenDb() {
    if (kind_ == TBackendKind::SQLite)
      return std::make_unique<TSqliteDatabase>(server.ProgramDir() / "TAVO.sqlite");
    return pg_->OpenDataLinkDatabase();
  }
  std::unique_ptr<TQuery> Rows(const std::string& sql, const TSqlParams& params = {}) {
    return OpenDb()->Open(sql, params);
  }

  // Seeding, before Start.
  void Station(int lopnr, const std::string& name, const std::string& friendly, int colour,
               int type, const std::string& imei = "") {
    Seed().Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, "
                   "STATIONTYPE, IMEINUMBER) VALUES (?, ?, ?, ?, ?, ?)",
                   {SqlInt(lopnr), SqlText(W(name)), SqlText(W(friendly)), SqlInt(colour),
                    SqlInt(type), imei.empty() ? SqlNull() : SqlText(imei)});
  }
  void Resource(int lopnr, const std::string& call, const std::string& full, int colour,
                int sms = 0, const std::string& number = "", const std::string& aktiv = "T") {
    Seed().Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, "
                   "SMSNUMMER, AKTIV) VALUES (?, ?, ?, ?, ?, ?, ?)",
                   {SqlInt(lopnr), SqlText(W(call)), SqlText(W(full)), SqlInt(colour), SqlInt(sms),
                    number.empty() ? SqlNull() : SqlText(number), SqlText(aktiv)});
  }
  void List(int station, int resource, int ix) {
    Seed().Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                   {SqlInt(station), SqlInt(resource), SqlInt(ix)});
  }
  void IntSetting(const std::string& key, int value) {
    Seed().Execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE, INTEGERVALUE) VALUES (?, NULL, ?)",
                   {SqlText(key), SqlInt(value)});
  }
  TDatabase& Seed() {
    if (!seed_) seed_ = OpenDb();
    return *seed_;
  }

  void Start() {
    seed_.reset();  // the server owns the database from here; tests open it again to look
    server.Start();
    if (!server.WaitListening(port_))
      throw std::runtime_error("server did not listen: " + server.EventLog());
  }
  uint16_t Port() const { return port_; }

  // A connected client that sent a sign-on and received everything up to `until`.
  std::unique_ptr<TLoopbackClient> SignOn(const std::string& name, int kind, bool line,
                                          const std::string& until) {
    auto c = std::make_unique<TLoopbackClient>(port_);
    c->Send(Req("¤GETCALLLIST:" + name + ":" + std::to_string(kind) + ":GETCALLLIST¤", line));
    EXPECT_TRUE(c->WaitFor(W(until))) << name << " got: " << c->Received();
    c->Take();
    return c;
  }
  // An administration client, signed on through GETSERVERVERSION.
  std::unique_ptr<TLoopbackClient> Admin(bool line = false) {
    auto c = std::make_unique<TLoopbackClient>(port_);
    c->Send(Req("¤GETSERVERVERSION:Admin:2:GETSERVERVERSION¤", line));
    EXPECT_TRUE(c->WaitFor(W(":RETSERVERVERSION¤"))) << c->Received();
    c->Take();
    return c;
  }

 private:
  // Declared before the server, so the server stops before its database is dropped.
  std::unique_ptr<TPostgresBackend> pg_;
  TBackendKind kind_;
  uint16_t port_;
  std::unique_ptr<TDatabase> seed_;

 public:
  TServerProcess server;
};

// Everything the client has received once `until` is among it.
inline std::string Until(TLoopbackClient& c, const std::string& utf8) {
  EXPECT_TRUE(c.WaitFor(W(utf8))) << "waiting for " << utf8 << ", got: " << c.Received();
  return c.Take();
}

// Sends a request with a GETALLMACHINES behind it in the same message, and waits for that
// answer: it comes after whatever the request did in the same pass, so every change and every
// list it sent to anyone is done by then. Returns what the client received before the answer.
inline std::string Change(TLoopbackClient& c, const std::string& utf8, bool line = false) {
  c.Send(Req(utf8 + "¤GETALLMACHINES::GETALLMACHINES¤", line));
  const std::string answer = W(line ? "¤RETALLMACHINES:" : "#DATASTART#¤RETALLMACHINES:");
  EXPECT_TRUE(c.WaitFor(W(line ? ":RETALLMACHINES¤\r\n" : ":RETALLMACHINES¤#DATAEND#\r\n")))
      << c.Received();
  std::string all = c.Take();
  return all.substr(0, all.find(answer));
}

// What the client received besides the answer to a KEEPALIVE it sends now. Every broadcast of
// a request whose answer has arrived (see Change) is queued before this answer, so an empty
// result means the client was sent nothing.
inline std::string Pending(TLoopbackClient& c) {
  c.Send("#DATASTART#" + W("¤KEEPALIVE::KEEPALIVE¤") + "#DATAEND#");
  const std::string answer = Framed("¤KEEPALIVE::KEEPALIVE¤");
  EXPECT_TRUE(c.WaitFor(answer)) << c.Received();
  std::string all = c.Take();
  const size_t at = all.rfind(answer);
  if (at != std::string::npos) all.erase(at, answer.size());
  return all;
}

}  // namespace tavo::test

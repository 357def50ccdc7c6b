// The real server over a seeded SQLite database in its own program directory.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "LoopbackClient.h"
#include "ServerProcess.h"
#include "common/Win1252.h"
#include "database/SqliteDatabase.h"

namespace tavo::test {

// Windows-1252 text of a UTF-8 literal ("¤" becomes '\xA4').
inline std::string W(const std::string& utf8) { return Utf8ToAnsi(utf8); }
inline std::string Framed(const std::string& utf8) { return "#DATASTART#" + W(utf8) + "#DATAEND#\r\n"; }
inline std::string Bare(const std::string& utf8) { return W(utf8) + "\r\n"; }

// A data-link file as the clinics have them: UTF-16LE with a byte-order mark.
inline void WriteUdl(const std::filesystem::path& file, const std::string& init) {
  std::string text = "[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n" + init + "\r\n";
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  WriteFile(file, bytes);
}

class TSeededServer {
 public:
  TSeededServer() : port_(FreePortPair()) {
    server.SetRegistry("Port", std::to_string(port_));
    WriteUdl(server.ProgramDir() / "TAVO.udl", "Provider=SQLite;Data Source=TAVO.sqlite");
  }
  // Opened on demand; the server creates nothing when the file already exists.
  TSqliteDatabase& Db() {
    if (!db_) db_ = std::make_unique<TSqliteDatabase>(server.ProgramDir() / "TAVO.sqlite");
    return *db_;
  }
  void Station(int lopnr, const std::string& name, const std::string& friendly, int colour, int type,
               const std::string& imei = "") {
    Db().Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE, IMEINUMBER) "
                 "VALUES (?, ?, ?, ?, ?, ?)",
                 {SqlInt(lopnr), SqlText(W(name)), SqlText(W(friendly)), SqlInt(colour), SqlInt(type),
                  imei.empty() ? SqlNull() : SqlText(imei)});
  }
  void Resource(int lopnr, const std::string& call, const std::string& full, int colour, int sms = 0,
                const std::string& number = "", const std::string& aktiv = "T") {
    Db().Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, SMSNUMMER, AKTIV) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?)",
                 {SqlInt(lopnr), SqlText(W(call)), SqlText(W(full)), SqlInt(colour), SqlInt(sms),
                  number.empty() ? SqlNull() : SqlText(number), SqlText(aktiv)});
  }
  void List(int station, int resource, int ix) {
    Db().Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                 {SqlInt(station), SqlInt(resource), SqlInt(ix)});
  }
  void IntSetting(const std::string& key, int value) {
    Db().Execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE, INTEGERVALUE) VALUES (?, NULL, ?)",
                 {SqlText(key), SqlInt(value)});
  }
  void StrSetting(const std::string& key, const std::string& value) {
    Db().Execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE, INTEGERVALUE) VALUES (?, ?, NULL)",
                 {SqlText(key), SqlText(value)});
  }

  void Start() {
    db_.reset();  // the server owns the file from here; tests reopen it to look
    server.Start();
    if (!server.WaitListening(port_)) throw std::runtime_error("server did not listen: " + server.EventLog());
  }
  uint16_t Port() const { return port_; }

  // A client signed on as the station (GETCALLLIST, framed) once its list has arrived: a
  // CURRENTLIST for a display or hardware station, a RETCALLLIST for the others.
  std::unique_ptr<TLoopbackClient> SignOn(const std::string& name, int kind) {
    auto c = std::make_unique<TLoopbackClient>(port_);
    c->Send("#DATASTART#" + W("¤GETCALLLIST:" + name + ":" + std::to_string(kind) + ":GETCALLLIST¤") +
            "#DATAEND#");
    const std::string list = kind == 1 || kind == 3 ? "CURRENTLIST¤#DATAEND#" : "RETCALLLIST¤#DATAEND#";
    if (!c->WaitFor(W(list))) throw std::runtime_error(name + " got no list: " + c->Received());
    c->Take();
    return c;
  }

  TServerProcess server;

 private:
  uint16_t port_;
  std::unique_ptr<TSqliteDatabase> db_;
};

}  // namespace tavo::test

// Two real servers configured alike ("Standby" = YES, each the other's StandbyPeer) on one
// PostgreSQL server of the test's own, which the test may stop; stations and displays reach
// them through a floating address that follows /health as keepalived would.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FloatingAddress.h"
#include "NamespaceLinks.h"
#include "LoopbackClient.h"
#include "PostgresServer.h"
#include "ServerProcess.h"
#include "database/OdbcDatabase.h"
#include "integration/SeededServer.h"
#include "support/DatabaseBackends.h"

namespace tavo::test {

using TSteady = std::chrono::steady_clock;

inline double SecondsSince(TSteady::time_point t) {
  return std::chrono::duration<double>(TSteady::now() - t).count();
}

inline std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }
inline const std::string& ListEnd() {
  static const std::string end = W("RETCALLLIST¤#DATAEND#\r\n");
  return end;
}

// Resources shown with an open call in the last whole RETCALLLIST of the text.
inline std::set<int> OpenInLastList(const std::string& received) {
  const std::string head = W("¤RETCALLLIST~"), tail = "RETCALLLIST" + W("¤");
  std::set<int> open;
  const size_t p = received.rfind(head);
  if (p == std::string::npos) return open;
  const size_t end = received.find(tail, p + head.size());
  if (end == std::string::npos) return open;
  std::vector<std::string> f;
  std::string cur;
  for (size_t i = p + head.size(); i < end; ++i) {
    if (received[i] == '~') {
      f.push_back(cur);
      cur.clear();
    } else {
      cur += received[i];
    }
  }
  for (size_t r = 0; r + 10 <= f.size(); r += 10)
    if (f[r + 5] == "-1") open.insert(std::stoi(f[r + 1]));
  return open;
}

// One station (or display) that reaches the servers through the floating address, as the
// client programs do: it connects again whenever its connection is cut or stops answering.
class TStation {
 public:
  TStation(std::string name, int kind, uint16_t port) : name_(std::move(name)), kind_(kind), port_(port) {}

  // Connects and signs on; true once the server's answer came. The server reached is
  // remembered (the floating address knows it).
  bool SignOn(TFloatingAddress& address, int timeoutMs) {
    const auto end = TSteady::now() + std::chrono::milliseconds(timeoutMs);
    const std::string until = kind_ == 1 ? W("CURRENTLIST¤#DATAEND#\r\n") : ListEnd();
    while (TSteady::now() < end) {
      client_ = std::make_unique<TLoopbackClient>();
      if (client_->Connect(port_, 500)) {
        client_->Send(Req("¤GETCALLLIST:" + name_ + ":" + std::to_string(kind_) + ":GETCALLLIST¤"));
        if (client_->WaitFor(until, 1000)) {
          server_ = address.ServerOf(LocalPort(client_->Fd()));
          signOn_ = client_->Take();
          return true;
        }
      }
      client_.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Sends CALLING for the resource and waits for the station's list; true when the list came
  // and shows the call open (an acknowledged call).
  // A list the server sends of its own accord (a reload) may come first: the call counts once
  // a list shows it.
  bool Call(int resource, int timeoutMs = 1500) {
    if (!client_ || client_->PeerClosed()) return false;
    client_->Take();  // lists sent before this call
    client_->Send(Req("¤CALLING:" + std::to_string(resource) + ":CALLING¤"));
    const auto end = TSteady::now() + std::chrono::milliseconds(timeoutMs);
    std::string received;
    while (TSteady::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TSteady::now());
      if (!client_->WaitFor(ListEnd(), static_cast<int>(left.count()) + 1)) return false;
      received += client_->Take();
      if (OpenInLastList(received).count(resource) > 0) return true;
    }
    return false;
  }
  int Server() const { return server_; }
  const std::string& SignOnText() const { return signOn_; }
  TLoopbackClient* Client() { return client_.get(); }

 private:
  std::string name_;
  int kind_;
  uint16_t port_;
  int server_ = -1;
  std::string signOn_;
  std::unique_ptr<TLoopbackClient> client_;
};

class TStandbyPair {
 public:
  // Stations S1..Sn (type 0) each with every resource R1..Rm in its list, and a display V.
  // With links, server 0 runs in their network namespace and reaches the database over the
  // db link, everything else over the lan link.
  TStandbyPair(int stations, int resources, const TNamespaceLinks* links = nullptr)
      : stations_(stations), resources_(resources) {
    if (links) pg.AlsoListenOn(links->DbHost());
    dbName_ = pg.CreateDatabase();
    db_ = std::make_unique<TOdbcDatabase>(pg.OdbcConnectionString(dbName_));
    for (const auto& stmt : ScriptStatements(std::string(TAVO_SOURCE_DIR) + "/sql/postgresql.sql"))
      db_->Execute(stmt);
    for (int r = 1; r <= resources; ++r)
      db_->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                   "VALUES (?, ?, ?, 0, 0, 'T')",
                   {SqlInt(r), SqlText("R" + std::to_string(r)), SqlText("Resurs " + std::to_string(r))});
    for (int s = 1; s <= stations + 1; ++s) {
      const bool display = s == stations + 1;
      db_->Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                   "VALUES (?, ?, ?, 0, ?)",
                   {SqlInt(s), SqlText(display ? "V" : "S" + std::to_string(s)),
                    SqlText(display ? "Visning" : "Rum " + std::to_string(s)), SqlInt(display ? 1 : 0)});
      for (int r = 1; r <= resources; ++r)
        db_->Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                     {SqlInt(s), SqlInt(r), SqlInt(r)});
    }
    std::string odbc = pg.OdbcConnectionString("postgres");
    odbc = odbc.substr(0, odbc.find(";DATABASE=")) + ";UID=tavo;";
    for (int i = 0; i < 2; ++i) {
      mainPort_[i] = FreePortPair();
      healthPort_[i] = FreePort();
    }
    if (links) {
      host_[0] = links->Inside();
      server[0].SetLauncher(links->Launcher());
    }
    for (int i = 0; i < 2; ++i) {
      auto& s = server[i];
      std::string serverOdbc = odbc;
      if (links && i == 0) serverOdbc.replace(serverOdbc.find("SERVER=127.0.0.1"), 16, "SERVER=" + links->DbHost());
      s.SetRegistry("Port", std::to_string(mainPort_[i]));
      s.SetRegistry("MetricsPort", std::to_string(healthPort_[i]));
      if (links) s.SetRegistry("MetricsAddress", "0.0.0.0");
      s.SetRegistry("Standby", "YES");
      const std::string peerHost = !links ? "127.0.0.1" : i == 0 ? links->LanHost() : links->Inside();
      s.SetRegistry("StandbyPeer", peerHost + ":" + std::to_string(healthPort_[1 - i]));
      WriteUdl(s.ProgramDir() / "TAVO.udl",
               "Provider=MSDASQL.1;Persist Security Info=False;Data Source=127.0.0.1;Initial Catalog=" +
                   dbName_ + ";Extended Properties=\"" + serverOdbc + "\"");
    }
    address = std::make_unique<TFloatingAddress>(std::vector<TFloatingAddress::TServer>{
        {mainPort_[0], healthPort_[0], host_[0]}, {mainPort_[1], healthPort_[1], host_[1]}});
  }
  ~TStandbyPair() {
    for (auto& s : server) s.Stop();
    address.reset();
    db_.reset();
  }

  uint16_t HealthPort(int i) const { return healthPort_[i]; }
  uint16_t MainPort(int i) const { return mainPort_[i]; }
  long Health(int i, int timeoutMs = 500) const {
    return HttpGet(healthPort_[i], "/health", timeoutMs, host_[i]).Status;
  }
  TDatabase& Db() { return *db_; }
  int Stations() const { return stations_; }
  int Resources() const { return resources_; }

  // Open calls in CALLLOG: station -> resources.
  std::map<int, std::set<int>> OpenCalls() {
    std::map<int, std::set<int>> open;
    auto q = db_->Open("SELECT STATIONSLOPNR, CALLABLESLOPNR FROM CALLLOG WHERE CONFIRMTSTAMP IS NULL");
    for (; !q->Eof(); q->Next()) open[q->AsInteger("STATIONSLOPNR")].insert(q->AsInteger("CALLABLESLOPNR"));
    return open;
  }
  // True when the display's CURRENTLIST shows the station's call to the resource.
  static bool DisplayShows(const std::string& list, int station, int resource) {
    const std::string head = W("R" + std::to_string(resource) + ":" + std::to_string(resource) +
                               ":0:" + std::to_string(resource) + ":¤%");
    const size_t from = list.find(head);
    if (from == std::string::npos) return false;
    const std::string section = list.substr(from, list.find(W("%¤:"), from) - from);
    return section.find("Rum " + std::to_string(station) + "~" + std::to_string(station) + "~") !=
           std::string::npos;
  }

  TPostgresServer pg{true};
  TServerProcess server[2];
  std::unique_ptr<TFloatingAddress> address;

 private:
  int stations_, resources_;
  std::string dbName_;
  std::unique_ptr<TDatabase> db_;
  uint16_t mainPort_[2]{}, healthPort_[2]{};
  std::string host_[2] = {"127.0.0.1", "127.0.0.1"};
};

}  // namespace tavo::test

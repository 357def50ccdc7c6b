// Fuzz target: arbitrary bytes through reassembly and the interpreter of the real service
// module, started as the server starts (every command family registered by its own start-up)
// over a seeded SQLite database, on three connections that do not exist on the network.
// The input is cut into chunks at each 0 byte; a chunk's first byte picks the connection
// (its value modulo 3).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "FakeSocket.h"
#include "common/Clock.h"
#include "common/Registry.h"
#include "database/SqliteDatabase.h"
#include "platform/EventSink.h"
#include "protocol/MessageAssembler.h"
#include "service/UTavoServerMain.h"

namespace {

using namespace tavo;

void Write(const std::filesystem::path& p, const std::string& s) {
  std::ofstream(p, std::ios::binary) << s;
}

// A program directory of its own: data-link file, database with stations, resources, lists
// and settings, registry, and a restart script that does nothing.
std::filesystem::path MakeProgramDir() {
  char tmpl[] = "/tmp/tavo-fuzz-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(tmpl);
  setenv("TMPDIR", dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  Write(dir / "RestartTAVOServer.sh", "#!/bin/sh\nexit 0\n");
  Write(dir / "TAVO.udl", "[oledb]\r\nProvider=SQLite;Data Source=" + (dir / "TAVO.sqlite").string() + "\r\n");
  {
    TSqliteDatabase db(dir / "TAVO.sqlite");
    db.Execute(
        "INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) VALUES "
        "(1, 'RUM1', 'Rum 1', 255, 0), (2, 'EXP', 'Exp', 0, 0), (3, 'VISNING', 'Visning', 0, 1), "
        "(4, 'HW', 'Hw', 0, 3)");
    db.Execute(
        "INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) VALUES "
        "(1, 'Avbryt', 'Avbryt', 0, 0, 'T'), (3, 'Doktor A', 'Doktor Alfa', 255, 0, 'T'), "
        "(5, 'Doktor B', 'Doktor Beta', 0, 0, 'T')");
    db.Execute(
        "INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (1, 3, 1), (1, 1, 2), "
        "(2, 3, 1), (2, 5, 2), (3, 3, 1), (3, 5, 2), (4, 5, 1)");
    db.Execute("INSERT INTO SETTINGS (NYCKELNAMN, INTEGERVALUE) VALUES ('AVBRYTCALLNAME', 1)");
    // The update listener shares the main port: only the main one opens.
    db.Execute(
        "INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) VALUES ('ServerSettings-UpdateServerPort', '0')");
  }
  TRegistryStore registry(dir / "registry.ini");
  registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UDL", (dir / "TAVO.udl").string());
  registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port", "0");
  // No connection here may run SQL of its own: a statement could write files anywhere
  // (ATTACH). The address is one that is never assigned.
  registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "AdminCommandsFrom", "192.0.2.1");
  // Commits need not wait for the disk here: the fuzzer writes many.
  registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "SQLiteSynchronous", "NORMAL");
  return dir;
}

struct TFuzzServer {
  std::filesystem::path dir = MakeProgramDir();
  std::unique_ptr<TTAVO_WindowsServer> server;
  std::shared_ptr<test::TFakeSocket> connections[3];
  TMessageAssembler assemblers[3];

  TFuzzServer() {
    TServerOptions options;
    options.Foreground = true;
    options.RegistryFile = (dir / "registry.ini").string();
    options.Argv = {"TAVO_WServer.exe", "--foreground"};
    server = std::make_unique<TTAVO_WindowsServer>(options, std::make_shared<TMemorySink>(),
                                                   std::make_shared<TSystemClock>());
    // Counted failures must not start a restart from here.
    server->Log().SetRestartHandler([] {}, [] {});
    if (!server->ServiceCreate()) __builtin_trap();
    for (auto& c : connections) c = std::make_shared<test::TFakeSocket>();
  }
  ~TFuzzServer() {
    server->ServiceDestroy();
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  void Feed(int connection, const std::string& chunk) {
    auto& c = connections[connection];
    auto r = assemblers[connection].Feed(chunk);
    if (r.Message) server->Interpreter().DataRead(std::move(*r.Message), c);
    // A disconnect and a fresh connection now and then: sign-on starts again.
    if (c->sent.size() > 64 * 1024) {
      c->sent.clear();
      c = std::make_shared<test::TFakeSocket>();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFuzzServer fuzz;
  fuzz.server->Log().ResetErrorCount();
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t from = 0;
  while (from < input.size()) {
    size_t to = input.find('\0', from);
    if (to == std::string::npos) to = input.size();
    if (to > from) {
      const int connection = static_cast<unsigned char>(input[from]) % 3;
      fuzz.Feed(connection, input.substr(from + 1, to - from - 1));
    }
    from = to + 1;
  }
  return 0;
}

// UpgradeSchema and ConnectDatabase on both backends.
#include <gtest/gtest.h>

#include "support/DatabaseBackends.h"
#include "database/DatabaseConnection.h"
#include "database/ServerTables.h"
#include "database/SqlHelpers.h"
#include "common/StrUtils.h"

#include <algorithm>

namespace tavo::test {
namespace {

// Passes everything on and notes each statement, to see what an upgrade runs.
class TRecordingDatabase final : public TDatabase {
 public:
  explicit TRecordingDatabase(TDatabase& inner) : inner_(inner) {}
  TDbmsKind Dbms() const override { return inner_.Dbms(); }
  bool Connected() const override { return inner_.Connected(); }
  void Close() override { inner_.Close(); }
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params) override {
    Statements.push_back("OPEN " + ExpandSqlForLog(sql, params));
    return inner_.Open(sql, params);
  }
  int64_t Execute(const std::string& sql, const TSqlParams& params) override {
    Statements.push_back("EXEC " + ExpandSqlForLog(sql, params));
    return inner_.Execute(sql, params);
  }
  std::vector<std::string> Statements;

 private:
  TDatabase& inner_;
};

// The index catalog read of each backend under test.
std::string IndexCatalog(TDbmsKind dbms) {
  return dbms == TDbmsKind::SQLite
             ? "OPEN SELECT name AS INDEXNAME FROM sqlite_master WHERE type = 'index'"
             : "OPEN SELECT indexname AS INDEXNAME FROM pg_indexes";
}

std::vector<std::string> ProbesAndReads(TDbmsKind dbms) {
  return {
      "OPEN SELECT COMINGTSTAMP FROM CALLLOG WHERE 1 = 0",
      "OPEN SELECT COMINGLOPNR FROM CALLLOG WHERE 1 = 0",
      "OPEN SELECT IMEINUMBER FROM STATIONS WHERE 1 = 0",
      "OPEN SELECT AKTIV FROM CALLABLES WHERE 1 = 0",
      "OPEN SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'SMSNUMMERLENGTH'",
      IndexCatalog(dbms),
      "OPEN SELECT * FROM STATIONSUPERVISION WHERE 1 = 0",
      "OPEN SELECT * FROM ESCALATION WHERE 1 = 0",
      "OPEN SELECT * FROM ESCALATIONLOG WHERE 1 = 0",
  };
}

const char* const kIndexNames[] = {"STATIONS_STATIONNAME", "CALLLIST_STATIONSLOPNR",
                                   "CALLLIST_CALLABLESLOPNR", "CALLLOG_CALLABLES_CALLTSTAMP",
                                   "SETTINGS_NYCKELNAMN"};

class TUpgradeTest : public TBackendTest {};

TEST_P(TUpgradeTest, CurrentDatabaseRunsOnlyTheProbesAndTheReads) {
  auto db = backend->OpenNew();
  TRecordingDatabase recorder(*db);
  UpgradeSchema(recorder, env.log);
  EXPECT_EQ(recorder.Statements, ProbesAndReads(db->Dbms()));
  EXPECT_TRUE(env.sink->Messages().empty());
  EXPECT_EQ(ErrorCount(), 0);
}

TEST_P(TUpgradeTest, OldDatabaseGetsTheNewColumnsAndEveryResourceActive) {
  auto db = backend->OpenEmpty();
  for (const auto& stmt : kOldSchema) db->Execute(stmt);
  for (int i = 1; i <= 2; ++i)
    db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, SENDSMS) VALUES (?, ?, 0)",
                {SqlInt(i), SqlText("R" + std::to_string(i))});

  UpgradeSchema(*db, env.log);
  EXPECT_EQ(ErrorCount(), 0) << testing::PrintToString(env.sink->Messages());

  for (const char* probe : {"SELECT COMINGTSTAMP, COMINGLOPNR FROM CALLLOG",
                            "SELECT IMEINUMBER FROM STATIONS"})
    EXPECT_NO_THROW(db->Open(probe)) << probe;
  auto q = db->Open("SELECT COUNT(*) AS N FROM CALLABLES WHERE AKTIV = 'T'");
  EXPECT_EQ(q->AsInteger("N"), 2);
  EXPECT_EQ(GetIntSetting(*db, env.log, "SMSNUMMERLENGTH"), 250);
  // The widened column takes 250 characters (PostgreSQL enforces the width).
  db->Execute("UPDATE CALLABLES SET SMSNUMMER = ? WHERE LOPNR = 1", {SqlText(std::string(250, '7'))});
  EXPECT_EQ(db->Open("SELECT SMSNUMMER FROM CALLABLES WHERE LOPNR = 1")->AsString("SMSNUMMER").size(),
            250u);
  // A new call row with the added columns.
  db->Execute("INSERT INTO CALLLOG (LOPNR, COMINGTSTAMP, COMINGLOPNR) VALUES (1, ?, ?)",
              {SqlDateTime(EncodeDateTime(2026, 12, 9, 10, 0, 0)), SqlInt(4)});
  q = db->Open("SELECT * FROM CALLLOG");
  EXPECT_EQ(q->Columns()[q->ColumnIndex("COMINGTSTAMP")].Kind, TFieldKind::DateTime);
  EXPECT_EQ(q->AsString("COMINGTSTAMP"), "2026-12-09 10:00:00");

  // The next start finds everything in place.
  TRecordingDatabase recorder(*db);
  UpgradeSchema(recorder, env.log);
  EXPECT_EQ(recorder.Statements, ProbesAndReads(db->Dbms()));
}

// A database made without the indexes gets each of them once (that the next start adds
// nothing is checked above).
TEST_P(TUpgradeTest, OldDatabaseGetsTheIndexesOnce) {
  auto db = backend->OpenEmpty();
  for (const auto& stmt : kOldSchema) db->Execute(stmt);
  UpgradeSchema(*db, env.log);
  EXPECT_EQ(ErrorCount(), 0) << testing::PrintToString(env.sink->Messages());

  std::vector<std::string> present;
  for (auto rows = db->Open(IndexCatalog(db->Dbms()).substr(5)); !rows->Eof(); rows->Next())
    present.push_back(UpperAscii(rows->AsString("INDEXNAME")));
  for (const char* name : kIndexNames)
    EXPECT_EQ(std::count(present.begin(), present.end(), name), 1) << name;
}

// The server's own tables come with the upgrade and take what the server writes into them; a
// step of a call is kept once, whoever writes it a second time.
TEST_P(TUpgradeTest, OldDatabaseGetsTheServersOwnTables) {
  auto db = backend->OpenEmpty();
  for (const auto& stmt : kOldSchema) db->Execute(stmt);
  UpgradeSchema(*db, env.log);
  EXPECT_EQ(ErrorCount(), 0) << testing::PrintToString(env.sink->Messages());
  for (const char* table : {"STATIONSUPERVISION", "ESCALATION", "ESCALATIONLOG"})
    EXPECT_TRUE(Logged(std::string("Created table ") + table)) << table;

  db->Execute("INSERT INTO STATIONSUPERVISION (STATIONSLOPNR, SUPERVISE) VALUES (3, 0)");
  db->Execute(
      "INSERT INTO ESCALATION (LOPNR, CALLABLESLOPNR, AFTERSECONDS, TOCALLABLESLOPNR, TONUMBER, "
      "REPEATCOUNT) VALUES (1, 7, 60, NULL, ?, 2)",
      {SqlText(std::string(250, '7'))});
  const TSqlParams step = {SqlInt(41), SqlInt(1), SqlInt(0), SqlText("+4670"),
                           SqlDateTime(EncodeDateTime(2026, 12, 9, 10, 1, 0)), SqlInt(60)};
  const std::string insert =
      "INSERT INTO ESCALATIONLOG (CALLLOGLOPNR, ESCALATIONLOPNR, REPEATNO, SMSNUMMER, STEPTSTAMP, "
      "WAITSECONDS) VALUES (?, ?, ?, ?, ?, ?)";
  db->Execute(insert, step);
  EXPECT_THROW(db->Execute(insert, step), EDatabaseError);
  auto q = db->Open("SELECT * FROM ESCALATIONLOG");
  EXPECT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->AsString("STEPTSTAMP"), "2026-12-09 10:01:00");
  EXPECT_EQ(db->Open("SELECT TONUMBER FROM ESCALATION")->AsString("TONUMBER").size(), 250u);
}

// A deleted station or resource takes the server's own rows about it along, whether the
// server deleted it or another program did; nothing is written where nothing is left over.
TEST_P(TUpgradeTest, RowsAboutDeletedStationsAndResourcesGo) {
  auto db = backend->OpenNew();
  db->Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME) VALUES (1, 'V1'), (2, 'V2')");
  db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME) VALUES (3, 'A'), (4, 'B'), (5, 'C')");
  db->Execute("INSERT INTO STATIONSUPERVISION (STATIONSLOPNR, SUPERVISE) VALUES (1, 0), (2, 0)");
  const std::string step =
      "INSERT INTO ESCALATION (LOPNR, CALLABLESLOPNR, AFTERSECONDS, TOCALLABLESLOPNR, TONUMBER, "
      "REPEATCOUNT) VALUES (?, ?, 60, ?, ?, 0)";
  db->Execute(step, {SqlInt(1), SqlInt(3), SqlInt(4), SqlNull()});
  db->Execute(step, {SqlInt(2), SqlInt(4), SqlNull(), SqlText("+4670")});
  db->Execute(step, {SqlInt(3), SqlInt(5), SqlNull(), SqlText("+4670")});
  auto count = [&](const char* table) {
    return db->Open(std::string("SELECT COUNT(*) AS N FROM ") + table)->AsInteger("N");
  };
  EXPECT_EQ(RemoveOrphanRows(*db), 0);

  ForgetStation(*db, env.log, 1);
  ForgetResource(*db, env.log, 4);  // its own step and the step to it
  EXPECT_EQ(count("STATIONSUPERVISION"), 1);
  EXPECT_EQ(count("ESCALATION"), 1);

  db->Execute("DELETE FROM STATIONS WHERE LOPNR = 2");
  db->Execute("DELETE FROM CALLABLES WHERE LOPNR = 5");
  EXPECT_EQ(RemoveOrphanRows(*db), 2);
  EXPECT_EQ(count("STATIONSUPERVISION"), 0);
  EXPECT_EQ(count("ESCALATION"), 0);
  EXPECT_EQ(ErrorCount(), 0);
}

TEST_P(TUpgradeTest, FailedStepIsCountedAndTheOthersStillRun) {
  auto db = backend->OpenEmpty();
  for (const auto& stmt : kOldSchema)
    if (stmt.find("TABLE STATIONS") == std::string::npos) db->Execute(stmt);

  UpgradeSchema(*db, env.log);
  // The column and the index of the missing table fail; every other step still runs.
  EXPECT_EQ(ErrorCount(), 2);
  EXPECT_TRUE(Logged("Error creating field IMEINUMBER in STATIONS: "));
  EXPECT_TRUE(Logged("Error creating index STATIONS_STATIONNAME on STATIONS: "));
  EXPECT_NO_THROW(db->Open("SELECT AKTIV FROM CALLABLES"));
  EXPECT_EQ(GetIntSetting(*db, env.log, "SMSNUMMERLENGTH"), 250);
}

TEST_P(TUpgradeTest, ConnectDatabaseOpensTheDataLinkInTheProgramDirectory) {
  std::string dir = backend->ProgramDir();
  std::string provider = backend->DataLinkProvider();
  WriteFile(dir + "TAVO.udl", "[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                              "Provider=" + provider + "\r\n");
  TDatabaseConnector connector(env.registry, env.log, dir);
  connector.ConnectDatabase();

  ASSERT_TRUE(connector.Connected()) << testing::PrintToString(env.sink->Messages());
  EXPECT_EQ(connector.GlobUDL, dir + "TAVO.udl");
  EXPECT_EQ(connector.GlobConnectionString, "Provider=" + provider);
  EXPECT_TRUE(Logged("Connected to " + connector.DBConnection.ServerName + "." +
                     connector.DBConnection.Databasename));
  EXPECT_EQ(ErrorCount(), 0);
  // A brand-new SQLite file has the schema; the PostgreSQL one was made from the script.
  EXPECT_EQ(GetIntSetting(*connector.ADOConnection1, env.log, "SMSNUMMERLENGTH"), 250);
  int32_t count = -1;
  EXPECT_EQ(GetNextLopnr(*connector.ADOConnection1, env.log, "STATIONS", "LOPNR", count), 1);
  EXPECT_EQ(count, 0);
}

TAVO_INSTANTIATE_BACKENDS(TUpgradeTest);

}  // namespace
}  // namespace tavo::test

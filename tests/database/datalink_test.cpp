// Reading the data-link file, filling DBConnection, and what ConnectDatabase logs and counts.
#include <gtest/gtest.h>

#include "database/DataLinkFile.h"
#include "database/DatabaseConnection.h"
#include "support/TestSupport.h"

namespace tavo::test {
namespace {

std::string Utf16LE(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

const std::string kLong(300, 'x');

struct TDataLinkCase {
  const char* Name;
  std::string File;
  std::string Expected;
};

TEST(DataLinkFile, ProviderValueIsReadAsTheProfileReaderDoes) {
  const std::string udl = "[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                          "Provider=SQLOLEDB.1;Data Source=SRV;Initial Catalog=TAVO\r\n";
  const std::vector<TDataLinkCase> cases = {
      {"utf16 with bom", Utf16LE(udl), "SQLOLEDB.1;Data Source=SRV;Initial Catalog=TAVO"},
      {"utf8 with bom", "\xEF\xBB\xBF" + udl, "SQLOLEDB.1;Data Source=SRV;Initial Catalog=TAVO"},
      {"utf8 without bom", udl, "SQLOLEDB.1;Data Source=SRV;Initial Catalog=TAVO"},
      {"utf8 letters", "[oledb]\nProvider=SQLite;Data Source=Tand\xC3\xA4lv.db\n",
       "SQLite;Data Source=Tand\xE4lv.db"},
      {"utf16 letters", Utf16LE("[oledb]\nProvider=SQLite;Data Source=X.db\n"),
       "SQLite;Data Source=X.db"},
      {"windows-1252 bytes", "[oledb]\nProvider=SQLite;Data Source=Tand\xE4lv.db\n",
       "SQLite;Data Source=Tand\xE4lv.db"},
      {"section and key in other case", "[OLEDB]\nPROVIDER=MSDASQL.1\n", "MSDASQL.1"},
      {"blanks around the value", "[oledb]\n  Provider =   SQLite;Data Source=a.db  \t\n",
       "SQLite;Data Source=a.db"},
      {"254-character cut", "[oledb]\nProvider=" + kLong + "\n", std::string(254, 'x')},
      {"everything after the first =", "[oledb]\nProvider=A=B;C=\"D;E\"\n", "A=B;C=\"D;E\""},
      {"key of another section", "[other]\nProvider=SQLite\n[oledb]\nX=1\n", ""},
      {"first key of the section", "[oledb]\nProvider=first\nProvider=second\n", "first"},
      {"no section", "Provider=SQLite\n", ""},
      {"empty file", "", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DataLinkValueFromText(c.File, "oledb", "Provider"), c.Expected) << c.Name;
}

TEST(DataLinkFile, DBConnectionTakesTheFirstOccurrenceInExactCase) {
  struct TCase {
    const char* Name;
    std::string Text;
    TDBConnection Expected;
  };
  const std::vector<TCase> cases = {
      {"server database",
       "Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;User ID=sa;"
       "Initial Catalog=TAVO;Data Source=SRV\\SQLEXPRESS",
       {"TAVO", "SRV\\SQLEXPRESS", "sa", "pw", ""}},
      {"access file has no catalog",
       "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\TAVO\\tavo.mdb;Persist Security Info=False",
       {"", "C:\\TAVO\\tavo.mdb", "", "", ""}},
      {"key in other letter case", "Provider=SQLOLEDB.1;initial catalog=TAVO;Data Source=S",
       {"", "S", "", "", ""}},
      {"earlier key ending in Password=",
       "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=first;Password=second",
       {"", "", "", "first", ""}},
      {"value to the end", "Provider=SQLite;Data Source=tavo.db", {"", "tavo.db", "", "", ""}},
  };
  for (const auto& c : cases) {
    TDBConnection got;
    got.SQLProcessID = "kept";
    ParseDBConnection(c.Text, got);
    EXPECT_EQ(got.Databasename, c.Expected.Databasename) << c.Name;
    EXPECT_EQ(got.ServerName, c.Expected.ServerName) << c.Name;
    EXPECT_EQ(got.Username, c.Expected.Username) << c.Name;
    EXPECT_EQ(got.Password, c.Expected.Password) << c.Name;
    EXPECT_EQ(got.SQLProcessID, "kept") << c.Name;
  }
}

class TConnectTest : public testing::Test {
 protected:
  std::string ProgramDir() const { return env.dir.Path().string() + "/"; }
  TLogEnv env;
};

TEST_F(TConnectTest, MissingDataLinkFileIsLoggedUncountedAndTheEmptyStringFails) {
  TDatabaseConnector connector(env.registry, env.log, ProgramDir());
  connector.ConnectDatabase();
  EXPECT_FALSE(connector.Connected());
  EXPECT_EQ(connector.GlobUDL, ProgramDir() + "TAVO.udl");
  EXPECT_EQ(connector.GlobConnectionString, "");
  auto messages = env.sink->Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Bad UDL-file: " + ProgramDir() + "TAVO.udl");
  EXPECT_EQ(messages[1].rfind("Error connecting to .: ", 0), 0u) << messages[1];
  EXPECT_EQ(env.log.ErrorCount(), 1);  // the failed open only
}

TEST_F(TConnectTest, RegistryValueNamesTheDataLinkFileAndTheProviderIsCut) {
  // A UTF-16 file outside the program directory whose Provider value is longer than 254
  // characters: the cut value is what gets opened (the file name loses its tail).
  std::string other = env.dir.Path().string() + "/conf/";
  std::filesystem::create_directories(other);
  std::string provider = "SQLite;Data Source=" + other + std::string(300, 'd') + ".db";
  WriteFile(other + "site.udl", Utf16LE("[oledb]\r\nProvider=" + provider + "\r\n"));
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UDL", other + "site.udl");

  TDatabaseConnector connector(env.registry, env.log, ProgramDir());
  connector.ConnectDatabase();
  EXPECT_EQ(connector.GlobUDL, other + "site.udl");
  EXPECT_EQ(connector.GlobConnectionString, "Provider=" + provider.substr(0, 254));
  ASSERT_TRUE(connector.Connected()) << testing::PrintToString(env.sink->Messages());
  EXPECT_TRUE(std::filesystem::exists(provider.substr(19, 254 - 19)));
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(TConnectTest, RegistryValueNamingNoFileFallsBackToTheProgramDirectory) {
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UDL", ProgramDir() + "gone.udl");
  WriteFile(ProgramDir() + "TAVO.udl", "[oledb]\nProvider=SQLite;Data Source=tavo.db\n");
  TDatabaseConnector connector(env.registry, env.log, ProgramDir());
  connector.ConnectDatabase();
  EXPECT_EQ(connector.GlobUDL, ProgramDir() + "TAVO.udl");
  EXPECT_TRUE(connector.Connected());
  EXPECT_TRUE(env.sink->Contains("Connected to tavo.db."));
  EXPECT_TRUE(std::filesystem::exists(ProgramDir() + "tavo.db"));
}

TEST_F(TConnectTest, AccessProviderIsRefusedAndCounted) {
  WriteFile(ProgramDir() + "TAVO.udl",
            Utf16LE("[oledb]\r\nProvider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\TAVO\\tavo.mdb;"
                    "Persist Security Info=False\r\n"));
  TDatabaseConnector connector(env.registry, env.log, ProgramDir());
  connector.ConnectDatabase();
  EXPECT_FALSE(connector.Connected());
  EXPECT_EQ(connector.DBConnection.ServerName, "C:\\TAVO\\tavo.mdb");
  EXPECT_EQ(env.log.ErrorCount(), 1);
  auto messages = env.sink->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("Error connecting to C:\\TAVO\\tavo.mdb.: Access database files", 0),
            0u)
      << messages[0];
  EXPECT_NE(messages[0].find("convert"), std::string::npos);
}

TEST_F(TConnectTest, UnreachableServerIsCountedWithServerAndDatabaseInTheMessage) {
  // Port 1 on the loopback address: nothing listens there.
  WriteFile(ProgramDir() + "TAVO.udl",
            "[oledb]\nProvider=SQLOLEDB.1;Initial Catalog=TAVO;Data Source=127.0.0.1,1;"
            "User ID=sa;Password=x\n");
  TDatabaseConnector connector(env.registry, env.log, ProgramDir());
  connector.ConnectDatabase();
  EXPECT_FALSE(connector.Connected());
  EXPECT_EQ(env.log.ErrorCount(), 1);
  EXPECT_TRUE(env.sink->Contains("Error connecting to 127.0.0.1,1.TAVO: "));
}

}  // namespace
}  // namespace tavo::test

namespace tavo::test {
namespace {

// Every commit reaches the disk before it counts, unless the clinic chose speed.
TEST(SqliteSynchronous, FullUnlessTheRegistryChoosesNormal) {
  struct Case {
    const char* value;  // nullptr: no registry value
    int expected;       // PRAGMA synchronous: 1 NORMAL, 2 FULL
  };
  const Case cases[] = {{nullptr, 2}, {"NORMAL", 1}, {" normal ", 1}, {"FULL", 2}, {"fast", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(none)");
    TLogEnv env;
    const std::string dir = env.dir.Path().string() + "/";
    WriteFile(dir + "TAVO.udl", "[oledb]\r\nProvider=SQLite;Data Source=TAVO.sqlite\r\n");
    if (c.value) env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "SQLiteSynchronous", c.value);
    TDatabaseConnector connector(env.registry, env.log, dir);
    connector.ConnectDatabase();
    ASSERT_TRUE(connector.Connected()) << testing::PrintToString(env.sink->Messages());
    auto q = connector.ADOConnection1->Open("PRAGMA synchronous");
    EXPECT_EQ(q->AsInteger("synchronous"), c.expected);
  }
}

}  // namespace
}  // namespace tavo::test

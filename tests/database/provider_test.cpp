// From the data-link connection string to a backend: the FreeTDS and MSDASQL strings, the
// SQLite file, and the providers that are refused.
#include <gtest/gtest.h>

#include "database/ProviderMapping.h"

namespace tavo::test {
namespace {

struct TOdbcCase {
  const char* Name;
  std::string Connection;
  std::string Odbc;
};

TEST(ProviderMapping, SqlServerProvidersMapToFreeTds) {
  const std::vector<TOdbcCase> cases = {
      {"named instance",
       "Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;User ID=sa;"
       "Initial Catalog=TAVO;Data Source=SRV\\SQLEXPRESS",
       "DRIVER={FreeTDS};SERVER=SRV\\SQLEXPRESS;DATABASE=TAVO;UID=sa;PWD=pw;"},
      {"host and port", "Provider=SQLNCLI11;Data Source=tcp:db.clinic.local,1433;Initial Catalog=T",
       "DRIVER={FreeTDS};SERVER=db.clinic.local;PORT=1433;DATABASE=T;"},
      {"local server, case of provider and keys",
       "provider=msoledbsql19;DATA SOURCE=(local);initial catalog=T;user id=u;password=p",
       "DRIVER={FreeTDS};SERVER=localhost;DATABASE=T;UID=u;PWD=p;"},
      {"quoted password with separators",
       "Provider=SQLOLEDB;Data Source=.;User ID=u;Password=\"p;q=}\"\"x\"",
       "DRIVER={FreeTDS};SERVER=localhost;UID=u;PWD={p;q=}}\"x};"},
      {"no login", "Provider=SQLOLEDB.1;Integrated Security=SSPI;Data Source=SRV",
       "DRIVER={FreeTDS};SERVER=SRV;"},
  };
  for (const auto& c : cases) {
    TBackendTarget t = MapConnectionString(c.Connection, "/opt/tavo/");
    EXPECT_EQ(t.Kind, TBackendTarget::Odbc) << c.Name;
    EXPECT_EQ(t.OdbcConnection, c.Odbc) << c.Name;
  }
}

TEST(ProviderMapping, OdbcProviderUsesExtendedPropertiesOrTheDataSourceName) {
  const std::vector<TOdbcCase> cases = {
      {"driver string", "Provider=MSDASQL.1;Extended Properties=\"DRIVER={PostgreSQL Unicode};"
                        "SERVER=127.0.0.1;PORT=5432;DATABASE=tavo\"",
       "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=5432;DATABASE=tavo;"},
      {"dsn with login added",
       "Provider=MSDASQL.1;Persist Security Info=False;User ID=tavo;Password=pw;Data Source=TAVO",
       "DSN=TAVO;UID=tavo;PWD=pw;"},
      {"catalog added, login of the string kept",
       "Provider=MSDASQL;Initial Catalog=db2;User ID=other;"
       "Extended Properties=\"DSN=pg;UID=tavo\"",
       "DSN=pg;UID=tavo;DATABASE=db2;"},
  };
  for (const auto& c : cases) {
    TBackendTarget t = MapConnectionString(c.Connection, "/opt/tavo/");
    EXPECT_EQ(t.Kind, TBackendTarget::Odbc) << c.Name;
    EXPECT_EQ(t.OdbcConnection, c.Odbc) << c.Name;
  }
  EXPECT_THROW(MapConnectionString("Provider=MSDASQL.1;Extended Properties=\"UID=x\"", "/"),
               EDatabaseError);
}

TEST(ProviderMapping, SqliteFileIsRelativeToTheProgramDirectory) {
  TBackendTarget t = MapConnectionString("Provider=SQLite;Data Source=Tand\xE4lv.db", "/opt/tavo/");
  EXPECT_EQ(t.Kind, TBackendTarget::SQLite);
  EXPECT_EQ(t.SqliteFile, "/opt/tavo/Tand\xC3\xA4lv.db");  // UTF-8 on the file system
  EXPECT_EQ(MapConnectionString("Provider=SQLite.3;Data Source=/var/lib/tavo/t.db", "/opt/tavo/")
                .SqliteFile,
            "/var/lib/tavo/t.db");
  EXPECT_THROW(MapConnectionString("Provider=SQLite", "/opt/tavo/"), EDatabaseError);
}

TEST(ProviderMapping, AccessUnknownAndMissingProvidersAreRefused) {
  struct TCase {
    std::string Connection;
    std::string MessagePart;
  };
  const std::vector<TCase> cases = {
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\t.mdb", "convert the Access file"},
      {"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=C:\\t.accdb", "convert the Access file"},
      {"Provider=OraOLEDB.Oracle;Data Source=x", "OraOLEDB.Oracle is not supported"},
      {"Provider=", "No database provider"},
  };
  for (const auto& c : cases) {
    try {
      MapConnectionString(c.Connection, "/opt/tavo/");
      ADD_FAILURE() << c.Connection;
    } catch (const EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(c.MessagePart), std::string::npos)
          << c.Connection << ": " << e.what();
    }
  }
}

TEST(ProviderMapping, OleDbStringPairsAreTrimmedAndUnquoted) {
  auto pairs = ParseOleDbString(
      " Provider = SQLOLEDB.1 ;;Password='it''s';Extended Properties=\"a=1;b=\"\"2\"\"\";junk;X=");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Provider", "SQLOLEDB.1"},
      {"Password", "it's"},
      {"Extended Properties", "a=1;b=\"2\""},
      {"X", ""},
  };
  EXPECT_EQ(pairs, expected);
}

}  // namespace
}  // namespace tavo::test

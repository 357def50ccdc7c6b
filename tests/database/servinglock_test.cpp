// The serving lock on a real PostgreSQL: one holder at a time, a hold taken twice still freed by
// one release, a heartbeat that moves with the holder's statements, a frozen holder's session
// ended by the other, the keepalive settings on the lock connection's socket, SQLite refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "database/ServingLock.h"
#include "support/DatabaseBackends.h"

namespace tavo::test {
namespace {

class TServingLockPostgreSQL : public ::testing::Test {
 protected:
  void SetUp() override {
    provider_ = "Provider=" + backend_.DataLinkProvider();
  }
  std::unique_ptr<TServingLock> Open() {
    return std::make_unique<TServingLock>(OpenSharedConnection(provider_, backend_.ProgramDir()));
  }

  TPostgresBackend backend_;
  std::string provider_;
};

TEST_F(TServingLockPostgreSQL, OneHolderAtATimeUntilItsSessionEnds) {
  auto a = Open();
  auto b = Open();
  EXPECT_FALSE(b->Holder().has_value());
  ASSERT_TRUE(a->TryAcquire());
  EXPECT_TRUE(a->Held());
  EXPECT_FALSE(b->TryAcquire());
  EXPECT_FALSE(b->Held());

  auto seenByB = b->Holder();
  auto seenByA = a->Holder();
  ASSERT_TRUE(seenByB && seenByA);
  EXPECT_EQ(seenByB->Backend, seenByA->Backend);
  EXPECT_FALSE(seenByB->Mine);
  EXPECT_TRUE(seenByA->Mine);

  a.reset();  // the holder's connection closes: its session and the lock end with it (the
              // server notices the closed connection a moment later)
  bool taken = false;
  for (int i = 0; i < 100 && !(taken = b->TryAcquire()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(taken);
  EXPECT_TRUE(b->Holder()->Mine);
}

TEST_F(TServingLockPostgreSQL, LockTakenTwiceIsFreedByOneRelease) {
  auto a = Open();
  auto b = Open();
  ASSERT_TRUE(a->TryAcquire());
  ASSERT_TRUE(a->TryAcquire());
  // Even a hold taken behind the object's back is freed by the one release.
  a->Connection().Open("SELECT pg_try_advisory_lock(1413568079, 1)");
  a->Release();
  EXPECT_FALSE(a->Held());
  EXPECT_TRUE(b->TryAcquire());
}

TEST_F(TServingLockPostgreSQL, HeartbeatMovesWithEveryStatementOfTheHolder) {
  auto a = Open();
  auto b = Open();
  ASSERT_TRUE(a->TryAcquire());
  const std::string first = b->Holder()->Heartbeat;
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(b->Holder()->Heartbeat, first) << "the observer's own statements must not move it";
  ASSERT_TRUE(a->Held());
  EXPECT_NE(b->Holder()->Heartbeat, first);
}

TEST_F(TServingLockPostgreSQL, EndingTheHoldersSessionFreesTheLock) {
  auto a = Open();
  auto b = Open();
  ASSERT_TRUE(a->TryAcquire());
  b->EndSession(b->Holder()->Backend);
  EXPECT_TRUE(b->TryAcquire());
  EXPECT_THROW(a->Held(), EDatabaseError) << "the ended session cannot go on as holder";
  EXPECT_THROW(b->EndSession("1; DROP TABLE CALLLOG"), EDatabaseError);
}

// The TCP sockets of this process connected to a port.
std::set<int> SocketsTo(int port) {
  std::set<int> out;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(e.path().filename().string());
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port)
      out.insert(fd);
  }
  return out;
}

TEST_F(TServingLockPostgreSQL, LockConnectionNoticesADeadLinkWithinSeconds) {
  const std::string odbc = PgServer().OdbcConnectionString("postgres");
  const int port = std::stoi(odbc.substr(odbc.find("PORT=") + 5));
  const std::set<int> before = SocketsTo(port);
  auto a = Open();
  std::set<int> added;
  for (int fd : SocketsTo(port))
    if (!before.count(fd)) added.insert(fd);
  ASSERT_EQ(added.size(), 1u);
  const int fd = *added.begin();
  auto opt = [fd](int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
    return v;
  };
  EXPECT_EQ(opt(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPIDLE), 1);
  EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPINTVL), 1);
  EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPCNT), 2);
  EXPECT_EQ(opt(IPPROTO_TCP, TCP_USER_TIMEOUT), 3000);
  // The server watches the session's link as closely.
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"tcp_keepalives_idle", "2"}, {"tcp_keepalives_interval", "1"},
           {"tcp_keepalives_count", "2"}, {"tcp_user_timeout", "4000"}})
    EXPECT_EQ(a->Connection().Open("SELECT current_setting('" + name + "') AS V")->AsString("V"), value)
        << name;
}

TEST(ServingLock, SqliteAndUnknownDatabasesAreRefused) {
  TTempDir dir;
  try {
    OpenSharedConnection("Provider=SQLite;Data Source=tavo.db", dir.Path().string() + "/");
    FAIL() << "an SQLite file cannot be shared";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("SQLite"), std::string::npos) << e.what();
  }
  EXPECT_THROW(TServingLock(std::make_unique<TSqliteDatabase>(dir / "x.db")), EDatabaseError);
}

TEST(ServingLock, KeepaliveSettingsAreAddedOnceAndNeverOverrideTheClinics) {
  EXPECT_EQ(WithLockKeepalives("DRIVER=x;SERVER=h"),
            "DRIVER=x;SERVER=h;KeepaliveTime=1;KeepaliveInterval=1;"
            "pqopt={keepalives_count=2 tcp_user_timeout=3000};");
  const std::string own = "DSN=pg;keepalivetime=5;PQOPT={sslmode=require};";
  EXPECT_EQ(WithLockKeepalives(own), own + "KeepaliveInterval=1;");
}

}  // namespace
}  // namespace tavo::test

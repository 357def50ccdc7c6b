#include <gtest/gtest.h>

#include <thread>

#include "LoopbackClient.h"
#include "protocol/ServerSocket.h"

namespace tavo {
namespace {

// Records events; answers every read with `reply` repeated.
class Events : public TSocketEvents {
 public:
  void OnListen(TServerSocket&) override { ++listens; }
  void OnClientConnect(TServerSocket&, const TClientSocketPtr&) override { ++connects; }
  void OnClientDisconnect(TServerSocket&, const TClientSocketPtr&) override { ++disconnects; }
  void OnClientRead(TServerSocket&, const TClientSocketPtr& s, const std::string& chunk) override {
    chunks.push_back(chunk);
    readers.push_back(s.get());
    for (int i = 0; i < repeat; ++i) s->SendText(reply);
  }
  void OnClientError(TServerSocket&, const TClientSocketPtr&, int& code) override {
    ++errors;
    code = 0;
  }
  void OnSendOverflow(TServerSocket&, const TClientSocketPtr&, TSendOverflow why) override {
    ++overflows;
    if (why == TSendOverflow::AllConnections) ++sheds;
  }

  std::atomic<int> listens{0}, connects{0}, disconnects{0}, errors{0}, overflows{0}, sheds{0};
  std::vector<std::string> chunks;
  std::vector<TClientSocket*> readers;
  std::string reply = "ok\r\n";
  int repeat = 1;
};

class ServerSocketTest : public ::testing::Test {
 protected:
  void StartLoop() {
    work.emplace(asio::make_work_guard(io));
    loop = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    asio::post(io, [this] { listener.Close(); work.reset(); });
    if (loop.joinable()) loop.join();
  }
  template <class F>
  void OnLoop(F f) {
    std::promise<void> done;
    asio::post(io, [&] { f(); done.set_value(); });
    done.get_future().wait();
  }
  bool Eventually(const std::function<bool()>& cond, int ms = 10000) {
    for (int i = 0; i < ms / 10; ++i) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
  }

  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  Events events;
  TServerSocket listener{io, "TAVOMainSocket", events};
  std::thread loop;
};

TEST_F(ServerSocketTest, ConnectionsInAcceptOrderAndRemovedOnClose) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.Open();
  StartLoop();
  test::TLoopbackClient a(port), b(port), c(port);
  ASSERT_TRUE(Eventually([&] { return events.connects == 3; }));
  std::vector<TClientSocketPtr> conns;
  OnLoop([&] { conns = listener.Connections(); });
  ASSERT_EQ(conns.size(), 3u);
  // Tag each by what its client sends, then check the order.
  a.Send("A");
  ASSERT_TRUE(a.WaitFor("ok"));
  b.Send("B");
  ASSERT_TRUE(b.WaitFor("ok"));
  c.Send("C");
  ASSERT_TRUE(c.WaitFor("ok"));
  ASSERT_EQ(events.readers.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(conns[i].get(), events.readers[i]) << i;
  b.Close();
  ASSERT_TRUE(Eventually([&] { return events.disconnects == 1; }));
  OnLoop([&] { conns = listener.Connections(); });
  ASSERT_EQ(conns.size(), 2u);
  EXPECT_EQ(conns[0].get(), events.readers[0]);
  EXPECT_EQ(conns[1].get(), events.readers[2]);
  EXPECT_EQ(events.listens, 1);
}

TEST_F(ServerSocketTest, ClientThatStopsReadingIsClosedAtTheLimit) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.SetMaxUnsentBytes(4 * 1024 * 1024);
  events.reply = std::string(1024 * 1024, 'r');
  events.repeat = 2;
  listener.Open();
  StartLoop();
  test::TLoopbackClient slow(port);
  // Keep asking, never read: the backlog grows until the server gives up on this client.
  for (int i = 0; i < 40 && events.overflows == 0; ++i) {
    try {
      slow.Send("more");
    } catch (...) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(Eventually([&] { return events.overflows == 1 && events.disconnects == 1; }));
  // Others are unaffected.
  events.reply = "ok\r\n";
  events.repeat = 1;
  test::TLoopbackClient fine(port);
  fine.Send("x");
  EXPECT_TRUE(fine.WaitFor("ok"));
}

TEST_F(ServerSocketTest, OpenOnTakenPortThrows) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.Open();
  Events other;
  TServerSocket second(io, "TAVOUpdateSocket", other);
  second.SetPort(port);
  EXPECT_THROW(second.Open(), std::system_error);
  EXPECT_FALSE(second.Active());
}

}  // namespace
}  // namespace tavo

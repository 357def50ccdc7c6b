#include <gtest/gtest.h>

#include <functional>
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
    if (onRead) {
      onRead(s, chunk);
      return;
    }
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
  // Instead of the reply: what a command handler would do.
  std::function<void(const TClientSocketPtr&, const std::string&)> onRead;
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

  // Stops the loop, for a test whose own listeners end before the fixture's.
  void StopLoop() {
    work.reset();
    if (loop.joinable()) loop.join();
  }

  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  Events events;
  TSendBudget sharedBudget;  // outlives the listeners that use it
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

// Replies of `size` bytes of one letter, tagged at the end so the reader can tell them apart.
TSharedReply Reply(size_t size, char letter, const std::string& tag) {
  auto r = std::make_shared<std::string>(size, letter);
  r->replace(size - tag.size(), tag.size(), tag);
  return r;
}

// A station list that has not begun on the wire is replaced by the newer one of its kind,
// which takes the place after everything queued meanwhile; a list already begun, and every
// other reply, is written whole and in order.
TEST_F(ServerSocketTest, WaitingListIsReplacedByTheNewerOne) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.Open();
  StartLoop();
  test::TLoopbackClient reader(port);
  ASSERT_TRUE(Eventually([&] { return events.connects == 1; }));
  // More than the kernel takes from a reader that is not reading: the first list begins on
  // the wire and the rest waits.
  const TSharedReply begun = Reply(8u << 20, 'b', "<begun>");
  const TSharedReply oldList = Reply(1000, 'o', "<old>"), newList = Reply(1200, 'n', "<new>");
  const TSharedReply oldRet = Reply(700, 'p', "<oldret>"), newRet = Reply(900, 'q', "<newret>");
  const TSharedReply other = Reply(300, 'x', "<other>"), end = Reply(10, 'e', "<end>");
  size_t unsent = 0;
  OnLoop([&] {
    auto c = listener.Connections().at(0);
    c->SendShared(begun, TReplyKind::CurrentList);
    c->SendShared(oldList, TReplyKind::CurrentList);
    c->SendShared(oldRet, TReplyKind::RetCallList);
    c->SendShared(other, TReplyKind::Other);
    c->SendShared(newList, TReplyKind::CurrentList);
    c->SendShared(newRet, TReplyKind::RetCallList);
    c->SendShared(end, TReplyKind::Other);
    unsent = static_cast<TTcpConnection&>(*c).UnsentBytes();
  });
  EXPECT_LE(unsent, begun->size() + other->size() + newList->size() + newRet->size() + end->size());
  EXPECT_GT(unsent, other->size() + newList->size() + newRet->size() + end->size());
  ASSERT_TRUE(reader.WaitFor("<end>", 30000));
  EXPECT_EQ(reader.Take(), *begun + *other + *newList + *newRet + *end);
  OnLoop([&] { unsent = static_cast<TTcpConnection&>(*listener.Connections().at(0)).UnsentBytes(); });
  EXPECT_EQ(unsent, 0u);
  EXPECT_EQ(listener.SendBudget().Total(), 0u);
}

// Everything one read causes is written when its handling ends, in one go for all
// connections: each gets its replies whole and in order, a list replaced within the same
// handling only in its newer form, and a connection the handler closes still gets what it was
// handed before the close.
TEST_F(ServerSocketTest, RepliesOfOneReadGoOutTogether) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.Open();
  StartLoop();
  constexpr int kClients = 20;
  std::vector<std::unique_ptr<test::TLoopbackClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<test::TLoopbackClient>(port));
  ASSERT_TRUE(Eventually([&] { return events.connects == kClients; }));
  std::vector<TClientSocketPtr> conns;
  OnLoop([&] { conns = listener.Connections(); });
  size_t unsentDuring = 0;
  bool anyWrittenDuring = false;
  events.onRead = [&](const TClientSocketPtr& from, const std::string&) {
    for (size_t i = 0; i < conns.size(); ++i) {
      const std::string n = std::to_string(i);
      conns[i]->SendText("[x" + n + "]");
      conns[i]->SendShared(std::make_shared<const std::string>("<old" + n + ">"), TReplyKind::CurrentList);
      conns[i]->SendShared(std::make_shared<const std::string>("<new" + n + ">"), TReplyKind::CurrentList);
      conns[i]->SendText("[y" + n + "]");
    }
    from->SendText("[done]");
    conns[3]->SendText("[bye]");
    conns[3]->Close();
    // Nothing has gone out yet: it all waits for the end of this read.
    for (const auto& c : conns)
      if (c->Connected()) unsentDuring += static_cast<TTcpConnection&>(*c).UnsentBytes();
    anyWrittenDuring = clients[5]->ReadFor(0).size() > 0;
  };
  clients[0]->Send("broadcast");
  ASSERT_TRUE(clients[0]->WaitFor("[done]"));
  EXPECT_GT(unsentDuring, 0u);
  EXPECT_FALSE(anyWrittenDuring);
  for (int i = 0; i < kClients; ++i) {
    const std::string n = std::to_string(i);
    std::string expected = "[x" + n + "]<new" + n + ">[y" + n + "]";
    if (i == 0) expected += "[done]";
    if (i == 3) expected += "[bye]";
    ASSERT_TRUE(clients[i]->WaitFor(expected)) << i << ": " << clients[i]->Received();
    EXPECT_EQ(clients[i]->Take(), expected) << i;
  }
  EXPECT_TRUE(Eventually([&] {
    clients[3]->ReadFor(10);
    return clients[3]->PeerClosed();
  }));
  // The loop counts the bytes off after the kernel took them, maybe after they arrived.
  EXPECT_TRUE(Eventually([&] {
    size_t total = 1;
    OnLoop([&] { total = listener.SendBudget().Total(); });
    return total == 0;
  }));
}

// A reader that has stopped reading holds up nobody: the others get the same broadcast at
// once, and it gets its replies in order once it reads again.
TEST_F(ServerSocketTest, StalledReaderDoesNotHoldUpTheBatch) {
  const uint16_t port = test::FreePort();
  listener.SetPort(port);
  listener.Open();
  StartLoop();
  test::TLoopbackClient caller(port), stalled(port), display(port);
  ASSERT_TRUE(Eventually([&] { return events.connects == 3; }));
  std::vector<TClientSocketPtr> conns;
  OnLoop([&] { conns = listener.Connections(); });
  // More than the kernel holds for a reader that does not read: most of it stays queued.
  const TSharedReply big = Reply(8u << 20, 'b', "<big>");
  OnLoop([&] { conns[1]->SendShared(big, TReplyKind::Other); });
  events.onRead = [&](const TClientSocketPtr&, const std::string& chunk) {
    for (const auto& c : conns) c->SendText("<" + chunk + ">");
  };
  caller.Send("call1");
  ASSERT_TRUE(display.WaitFor("<call1>"));
  ASSERT_TRUE(caller.WaitFor("<call1>"));
  caller.Send("call2");
  ASSERT_TRUE(display.WaitFor("<call2>"));
  EXPECT_EQ(display.Take(), "<call1><call2>");
  ASSERT_TRUE(stalled.WaitFor("<call2>", 30000));
  EXPECT_EQ(stalled.Take(), *big + "<call1><call2>");
}

// All connections of both listeners share one budget of unsent bytes. Past it, the largest
// backlog is dropped with a warning, whichever listener it is on; the others go on.
TEST_F(ServerSocketTest, SharedBudgetDropsTheLargestBacklog) {
  TSendBudget& budget = sharedBudget;
  budget.SetLimit(40u << 20);
  Events otherEvents;
  TServerSocket second(io, "TAVOUpdateSocket", otherEvents);
  const uint16_t port = test::FreePort(), port2 = test::FreePort();
  for (TServerSocket* l : {&listener, &second}) {
    l->SetSendBudget(budget);
    l->SetMaxUnsentBytes(64u << 20);
  }
  listener.SetPort(port);
  second.SetPort(port2);
  listener.Open();
  second.Open();
  StartLoop();
  test::TLoopbackClient small(port2), large(port), reading(port);
  ASSERT_TRUE(Eventually([&] { return events.connects == 2 && otherEvents.connects == 1; }));
  const TSharedReply blob = Reply(8u << 20, 'z', "<blob>");
  OnLoop([&] {
    auto s = second.Connections().at(0);
    for (int i = 0; i < 2; ++i) s->SendShared(blob, TReplyKind::Other);
    auto l = listener.Connections().at(0);
    for (int i = 0; i < 5; ++i) l->SendShared(blob, TReplyKind::Other);
  });
  ASSERT_TRUE(Eventually([&] { return events.disconnects == 1; }));
  EXPECT_EQ(events.sheds, 1);
  EXPECT_EQ(otherEvents.overflows, 0);
  EXPECT_LE(budget.Total(), 2 * blob->size());
  // The dropped one sees its connection end; the others are served as before.
  large.ReadFor(200);
  EXPECT_TRUE(large.PeerClosed());
  reading.Send("x");
  EXPECT_TRUE(reading.WaitFor("ok"));
  OnLoop([&] { second.Connections().at(0)->SendText("<done>"); });
  ASSERT_TRUE(small.WaitFor("<done>", 30000));
  EXPECT_EQ(small.Take(), *blob + *blob + "<done>");
  OnLoop([&] {
    second.Close();
    listener.Close();
  });
  StopLoop();
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

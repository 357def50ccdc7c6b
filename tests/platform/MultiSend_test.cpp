#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/MultiSend.h"

namespace tavo {
namespace {

struct TPair {
  int Ours = -1, Peer = -1;
  TPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      Ours = fds[0];
      Peer = fds[1];
      ::fcntl(Peer, F_SETFL, O_NONBLOCK);
    }
  }
  ~TPair() {
    if (Ours >= 0) ::close(Ours);
    if (Peer >= 0) ::close(Peer);
  }
  TPair(const TPair&) = delete;
  std::string Drain() const {
    std::string got;
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(Peer, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

// Both ways of writing must give the same results: the ring where the kernel allows it, and
// one send() each where it does not.
class MultiSendTest : public ::testing::TestWithParam<bool> {};

// More sockets than the ring takes in one call, with skipped entries among them: every socket
// gets exactly its own bytes once, and every result says so.
TEST_P(MultiSendTest, EveryWriteLandsWholeAndOnce) {
  TMultiSend sender(GetParam());
  std::vector<std::unique_ptr<TPair>> pairs;
  std::vector<std::string> payloads;
  std::vector<TMultiSend::TWrite> writes;
  for (int i = 0; i < 300; ++i) {
    pairs.push_back(std::make_unique<TPair>());
    ASSERT_GE(pairs.back()->Ours, 0);
    payloads.push_back("list " + std::to_string(i) + std::string(static_cast<size_t>(i % 7), '.'));
  }
  for (int i = 0; i < 300; ++i) {
    TMultiSend::TWrite w;
    if (i % 50 != 7) {
      w.Fd = pairs[i]->Ours;
      w.Data = payloads[i].data();
      w.Size = payloads[i].size();
    }
    w.Result = 12345;  // must be overwritten
    writes.push_back(w);
  }
  sender.Run(writes);
  for (int i = 0; i < 300; ++i) {
    const bool skipped = i % 50 == 7;
    EXPECT_EQ(writes[i].Result, skipped ? 0 : static_cast<ssize_t>(payloads[i].size())) << i;
    EXPECT_EQ(pairs[i]->Drain(), skipped ? "" : payloads[i]) << i;
  }
  // The second round goes through the same ring.
  sender.Run(writes);
  for (int i = 0; i < 300; i += 37)
    EXPECT_EQ(pairs[i]->Drain(), i % 50 == 7 ? "" : payloads[i]) << i;
}

// A socket with no room and one whose peer has gone answer at once with their errors; the
// others in the same call are written, and the process gets no SIGPIPE.
TEST_P(MultiSendTest, FullOrClosedSocketsAnswerAtOnce) {
  TMultiSend sender(GetParam());
  TPair full, fine, gone, fine2;
  const std::string block(4096, 'f');
  while (::send(full.Ours, block.data(), block.size(), MSG_DONTWAIT) > 0) {
  }
  ::close(gone.Peer);
  gone.Peer = -1;
  const std::string text = "#DATASTART#CURRENTLIST#DATAEND#\r\n";
  std::vector<TMultiSend::TWrite> writes;
  for (const TPair* p : {&full, &fine, &gone, &fine2})
    writes.push_back({p->Ours, text.data(), text.size(), 0});
  sender.Run(writes);
  EXPECT_EQ(writes[0].Result, -EAGAIN);
  EXPECT_EQ(writes[1].Result, static_cast<ssize_t>(text.size()));
  EXPECT_EQ(writes[2].Result, -EPIPE);
  EXPECT_EQ(writes[3].Result, static_cast<ssize_t>(text.size()));
  EXPECT_EQ(fine.Drain(), text);
  EXPECT_EQ(fine2.Drain(), text);
  // Nothing of ours was added behind the full socket's earlier bytes.
  EXPECT_EQ(full.Drain().find('#'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Ways, MultiSendTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Ring" : "OneByOne"; });

TEST(MultiSend, RingIsUsedWhereTheKernelAllowsIt) {
  TMultiSend sender;
  if (!sender.Batched()) GTEST_SKIP() << sender.Unavailable();
  EXPECT_TRUE(sender.Unavailable().empty());
  EXPECT_FALSE(TMultiSend(false).Batched());
}

}  // namespace
}  // namespace tavo

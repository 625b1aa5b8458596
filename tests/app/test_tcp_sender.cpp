// Sender behaviour over loopback, driven from the test's one thread: a client's connect completes in the
// listen queue, so no second thread is needed.
#include "app/tcp_sender.h"

#include "app/frames.h"
#include "tests/app/loopback.h"

#include <algorithm>

#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using loopback::TFd;

const std::string kText = R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})";
const std::string kFrame = std::string("\x42\x00", 2) + kText;

// A sender listening on an ephemeral port, its start-up lines swallowed.
class TTcpSenderSrvTest : public ::testing::Test {
protected:
  void Listen(TTcpSenderSrv &sender) {
    testing::internal::CaptureStdout();
    sender.InitAsServer(0);
    testing::internal::GetCapturedStdout();
    ASSERT_GE(sender.ListenSock, 0);
    port_ = loopback::LocalPort(sender.ListenSock);
  }
  void Accept(TTcpSenderSrv &sender) {
    sockaddr_in addr{};
    testing::internal::CaptureStdout();
    sender.AcceptNewConn(sender.ConnSock, addr);
    testing::internal::GetCapturedStdout();
    ASSERT_GE(sender.ConnSock, 0);
  }
  int port_ = 0;
};

TEST_F(TTcpSenderSrvTest, StartUpPrintsTheServerLinesAndAcceptsOneClient) {
  TTcpSenderSrv sender;
  testing::internal::CaptureStdout();
  sender.InitAsServer(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Socket successfully created..\nSocket successfully binded..\nServer listening..\n");
  const int port = loopback::LocalPort(sender.ListenSock);
  TFd client = loopback::Connect(port);
  ASSERT_GE(client.Get(), 0);

  sockaddr_in addr{};
  testing::internal::CaptureStdout();
  sender.AcceptNewConn(sender.ConnSock, addr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "new tcp conn\n");
  ASSERT_GE(sender.ConnSock, 0);
  EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_LOOPBACK);

  ASSERT_TRUE(sender.SendResult(kText));
  EXPECT_EQ(loopback::ReadResultFrame(client.Get()), kFrame);
}

TEST_F(TTcpSenderSrvTest, PortAbove65535BindsModulo65536OnEveryAddress) {
  const int port = loopback::FreePort();
  TTcpSenderSrv sender;
  testing::internal::CaptureStdout();
  sender.InitAsServer(port + 65536);
  testing::internal::GetCapturedStdout();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(sender.ListenSock, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  EXPECT_EQ(ntohs(addr.sin_port), port);
  EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST_F(TTcpSenderSrvTest, PortTakenWithoutReusePortFailsBindAndThenAcceptAtOnce) {
  TFd other(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  ASSERT_EQ(::bind(other.Get(), reinterpret_cast<const sockaddr *>(&any), sizeof any), 0);
  ASSERT_EQ(::listen(other.Get(), 1), 0);

  TTcpSenderSrv sender;
  testing::internal::CaptureStdout();
  sender.InitAsServer(loopback::LocalPort(other.Get()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket successfully created..\nsocket bind failed...\n");

  sockaddr_in addr{};
  testing::internal::CaptureStdout();
  sender.AcceptNewConn(sender.ConnSock, addr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "server accept failed...\n");
  EXPECT_EQ(sender.ConnSock, -1);
  EXPECT_FALSE(sender.SendResult(kText)); // and writing later neither blocks nor crashes
}

TEST_F(TTcpSenderSrvTest, FramesWithoutAClientAreDroppedUntilOneConnects) {
  TTcpSenderSrv sender;
  Listen(sender);
  EXPECT_FALSE(sender.SendResult("{\"dropped\":1}"));
  EXPECT_FALSE(sender.SendResult("{\"dropped\":2}"));
  EXPECT_EQ(sender.ConnSock, -1);

  TFd client = loopback::Connect(port_);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(sender.SendResult(kText)); // takes the waiting client without blocking
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "new tcp conn\n");
  EXPECT_EQ(loopback::ReadResultFrame(client.Get()), kFrame);
  EXPECT_TRUE(loopback::NothingArrives(client.Get(), 50ms));
}

TEST_F(TTcpSenderSrvTest, NewClientAfterADisconnectReceivesWholeFrames) {
  TTcpSenderSrv sender;
  Listen(sender);
  TFd first = loopback::Connect(port_);
  Accept(sender);
  ASSERT_TRUE(sender.SendResult(kText));
  ASSERT_EQ(loopback::ReadResultFrame(first.Get()), kFrame);

  first.Reset();
  TFd second = loopback::Connect(port_); // queued while the sender still holds the dead connection

  testing::internal::CaptureStdout();
  // The first write after the close may still be taken by the system; a later one fails and drops the
  // connection together with its frame.
  bool dropped = false;
  for (int i = 0; i < 500 && !dropped; ++i) {
    dropped = !sender.SendResult(kText);
    std::this_thread::sleep_for(1ms);
  }
  const bool gone = sender.ConnSock == -1;
  bool resent = true;
  for (int i = 0; i < 5; ++i) {
    resent = sender.SendResult(kText) && resent;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp conn closed\nnew tcp conn\n");
  ASSERT_TRUE(dropped);
  EXPECT_TRUE(gone);
  EXPECT_TRUE(resent);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(loopback::ReadResultFrame(second.Get()), kFrame) << "frame " << i;
  }
  EXPECT_TRUE(loopback::NothingArrives(second.Get(), 50ms));
}

TEST_F(TTcpSenderSrvTest, ClientThatNeverReadsIsDroppedAfterTheSendTimeout) {
  TTcpSenderSrv sender(100ms);
  Listen(sender);
  TFd stalled = loopback::Connect(port_, 4096);
  Accept(sender);
  const int small = 4096;
  ::setsockopt(sender.ConnSock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

  const std::string big(60000, 'z');
  testing::internal::CaptureStdout();
  int sent = 0;
  while (sent < 1000 && sender.SendResult(big)) {
    ++sent;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp conn closed\n");
  EXPECT_LT(sent, 1000);
  EXPECT_EQ(sender.ConnSock, -1);
  EXPECT_FALSE(sender.SendResult(kText)); // nobody waiting: dropped at once

  // A fresh client is served again.
  TFd fresh = loopback::Connect(port_);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(sender.SendResult(kText));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(loopback::ReadResultFrame(fresh.Get()), kFrame);
}

TEST_F(TTcpSenderSrvTest, StalledClientCostsTheWriterOneBoundedWaitAndIsDropped) {
  TTcpSenderSrv sender; // the default timeout: what the engines live with
  Listen(sender);
  TFd stalled = loopback::Connect(port_);
  Accept(sender);

  // Frames of about 4 KB, as the spectrum channel sends, until both socket buffers are full.
  const std::string text = "{\"pad\":\"" + std::string(4000, 'p') + "\"}";
  using Clock = std::chrono::steady_clock;
  Clock::duration longest{};
  int waits = 0; // calls that had to wait for room at all
  int sent = 0;
  bool dropped = false;
  testing::internal::CaptureStdout();
  while (sent < 100000 && !dropped) {
    const Clock::time_point start = Clock::now();
    dropped = !sender.SendResult(text);
    const Clock::duration took = Clock::now() - start;
    longest = std::max(longest, took);
    waits += took > 200ms ? 1 : 0;
    sent += dropped ? 0 : 1;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp conn closed\n");
  ASSERT_TRUE(dropped);
  EXPECT_GT(sent, 0);
  EXPECT_LE(longest, 600ms);
  EXPECT_LE(waits, 1) << "the stall must be paid once, not once per frame";
  EXPECT_EQ(sender.ConnSock, -1);
  EXPECT_FALSE(sender.HasClient());

  TFd next = loopback::Connect(port_);
  testing::internal::CaptureStdout();
  bool resent = true;
  for (int i = 0; i < 3; ++i) {
    resent = sender.SendResult(text) && resent;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "new tcp conn\n");
  EXPECT_TRUE(resent);
  std::string frame;
  ASSERT_TRUE(EncodeResultFrame(text, frame));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(loopback::ReadResultFrame(next.Get()), frame) << "frame " << i;
  }
}

// The station never reads from its clients: bytes a client sends, or the end of its sending half, must not be
// taken for a lost client, and must not stop the next client from being served.
TEST_F(TTcpSenderSrvTest, ClientsThatTalkOrHalfCloseAreStillServed) {
  TTcpSenderSrv sender;
  Listen(sender);

  TFd talker = loopback::Connect(port_);
  Accept(sender);
  const std::string chatter(32768, 'c');
  ASSERT_GT(::send(talker.Get(), chatter.data(), chatter.size(), MSG_NOSIGNAL), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(sender.SendResult(kText)) << "frame " << i;
    ASSERT_EQ(loopback::ReadResultFrame(talker.Get()), kFrame) << "frame " << i;
  }

  testing::internal::CaptureStdout();
  talker.Reset(); // unread chatter makes this close a reset
  TFd half = loopback::Connect(port_);
  ASSERT_EQ(::shutdown(half.Get(), SHUT_WR), 0);
  bool dropped = false;
  for (int i = 0; i < 500 && !dropped; ++i) {
    dropped = !sender.SendResult(kText);
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(dropped);
  ASSERT_TRUE(sender.SendResult(kText)); // takes the half-closed client
  std::this_thread::sleep_for(20ms);     // its end of stream has certainly reached the station now
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(sender.SendResult(kText)) << "frame " << i;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp conn closed\nnew tcp conn\n");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(loopback::ReadResultFrame(half.Get()), kFrame) << "frame " << i;
  }
  EXPECT_TRUE(loopback::NothingArrives(half.Get(), 50ms));

  half.Reset();
  TFd later = loopback::Connect(port_);
  testing::internal::CaptureStdout();
  dropped = false;
  for (int i = 0; i < 500 && !dropped; ++i) {
    dropped = !sender.SendResult(kText);
    std::this_thread::sleep_for(1ms);
  }
  const bool served = sender.SendResult(kText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp conn closed\nnew tcp conn\n");
  ASSERT_TRUE(dropped);
  EXPECT_TRUE(served);
  EXPECT_EQ(loopback::ReadResultFrame(later.Get()), kFrame);
}

TEST_F(TTcpSenderSrvTest, OverlongTextIsRefusedAndTheConnectionKept) {
  TTcpSenderSrv sender;
  Listen(sender);
  TFd client = loopback::Connect(port_);
  Accept(sender);
  const int conn = sender.ConnSock;
  EXPECT_FALSE(sender.SendResult(std::string(65536, 'a')));
  EXPECT_EQ(sender.ConnSock, conn);
  ASSERT_TRUE(sender.SendResult(kText));
  EXPECT_EQ(loopback::ReadResultFrame(client.Get()), kFrame); // nothing of the refused text came first
}

} // namespace

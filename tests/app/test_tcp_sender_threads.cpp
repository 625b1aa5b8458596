// Sender behaviour with a client reading on its own thread, as the station's clients do.
#include "app/tcp_sender.h"

#include "tests/app/loopback.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

using loopback::TFd;

TEST(TTcpSenderSrv, LargeFramesArriveWholeAcrossShortWrites) {
  TTcpSenderSrv sender;
  testing::internal::CaptureStdout();
  sender.InitAsServer(0);
  const int port = loopback::LocalPort(sender.ListenSock);
  TFd client = loopback::Connect(port, 8192);
  sockaddr_in addr{};
  sender.AcceptNewConn(sender.ConnSock, addr);
  testing::internal::GetCapturedStdout();
  ASSERT_GE(sender.ConnSock, 0);
  const int small = 8192;
  ::setsockopt(sender.ConnSock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

  // Each frame is far larger than both socket buffers, so every send comes back short.
  constexpr std::size_t kFrameBytes = 1 << 20;
  constexpr int kFrames = 4;
  std::string received;
  std::thread reader([&] { received = loopback::ReadExactly(client.Get(), kFrameBytes * kFrames); });

  std::string frame(kFrameBytes, '\0');
  bool all_sent = true;
  for (int f = 0; f < kFrames; ++f) {
    for (std::size_t i = 0; i < kFrameBytes; ++i) {
      frame[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(f)) & 0xFFU);
    }
    all_sent = sender.SendFrame(frame.data(), frame.size()) && all_sent;
  }
  reader.join();

  EXPECT_TRUE(all_sent);
  ASSERT_EQ(received.size(), kFrameBytes * kFrames);
  for (int f = 0; f < kFrames; ++f) {
    for (std::size_t i = 0; i < kFrameBytes; ++i) {
      const auto expected = static_cast<char>((i * 31 + static_cast<std::size_t>(f)) & 0xFFU);
      if (received[f * kFrameBytes + i] != expected) {
        FAIL() << "frame " << f << " differs at byte " << i;
      }
    }
  }
}

} // namespace

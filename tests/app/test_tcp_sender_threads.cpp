// Sender behaviour with a client reading on its own thread, as the station's clients do.
#include "app/tcp_sender.h"

#include "tests/app/loopback.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using loopback::TFd;

// Result number `seq`; the padding varies the frame length so that a reader out of step misreads at once.
std::string SeqText(unsigned seq) {
  return "{\"seq\":" + std::to_string(seq) + ",\"pad\":\"" + std::string(seq % 300, 'x') + "\"}";
}

// The number of a frame read by loopback::ReadResultFrame, or -1 when it is not a whole frame of SeqText.
long SeqOf(const std::string &frame) {
  const std::string prefix = "{\"seq\":";
  if (frame.size() < 2 + prefix.size() || frame.compare(2, prefix.size(), prefix) != 0) {
    return -1;
  }
  const unsigned seq = static_cast<unsigned>(std::stoul(frame.substr(2 + prefix.size())));
  return frame.substr(2) == SeqText(seq) ? static_cast<long>(seq) : -1;
}

std::size_t CountLines(const std::string &out, const std::string &line) {
  std::size_t n = 0;
  for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + line.size())) {
    ++n;
  }
  return n;
}

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

// Clients come and go as fast as they can while the writer streams: closes before and after being taken, resets,
// half-closes. The writer must survive all of it, take every client in turn, and start each one on a frame.
TEST(TTcpSenderSrv, ThousandConnectCyclesDuringAStreamLeaveTheServerServingWholeFrames) {
  TTcpSenderSrv sender;
  testing::internal::CaptureStdout();
  sender.InitAsServer(0);
  const int port = loopback::LocalPort(sender.ListenSock);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (unsigned seq = 0; !stop.load(std::memory_order_acquire); ++seq) {
      if (!sender.SendResult(SeqText(seq)) && !sender.HasClient()) {
        std::this_thread::sleep_for(std::chrono::microseconds(50)); // as an engine would: frames come at a rate
      }
    }
  });

  constexpr int kCycles = 1000;
  int bad_first_frames = 0;
  int refused = 0;
  for (int i = 0; i < kCycles; ++i) {
    TFd client = loopback::Connect(port);
    if (client.Get() < 0) {
      ++refused;
      continue;
    }
    switch (i % 4) {
    case 0:
      break; // plain close, possibly before the writer took the connection
    case 1: {
      const linger abort{1, 0}; // close with a reset
      ::setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
    case 2:
      // Reading one frame also paces the cycles: the writer has taken every earlier client by then, so the
      // listen queue never overflows.
      bad_first_frames += SeqOf(loopback::ReadResultFrame(client.Get())) < 0 ? 1 : 0;
      break;
    default:
      ::shutdown(client.Get(), SHUT_WR);
      bad_first_frames += SeqOf(loopback::ReadResultFrame(client.Get())) < 0 ? 1 : 0;
      break;
    }
  }

  // The last client reads on; a client that keeps reading loses no result.
  TFd last = loopback::Connect(port);
  std::vector<long> seqs;
  for (int i = 0; i < 300; ++i) {
    seqs.push_back(SeqOf(loopback::ReadResultFrame(last.Get())));
  }
  stop.store(true, std::memory_order_release);
  last.Reset(); // unread frames make this a reset, which frees a writer waiting for room
  writer.join();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(refused, 0);
  EXPECT_EQ(bad_first_frames, 0);
  EXPECT_EQ(CountLines(out, "new tcp conn\n"), static_cast<std::size_t>(kCycles + 1)) << "every client is taken";
  ASSERT_EQ(seqs.size(), 300U);
  ASSERT_GE(seqs[0], 0);
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << "frame " << i;
  }
}

} // namespace

// Receive-and-read path of the array client: crafted RTP datagrams sent over loopback as fast as the reader keeps
// up, grouped by the receiver thread and read with the readers' cursor protocol. Reported as a ratio to real time:
// the array delivers 93.75 blocks of 400 samples per second (37500 Hz).

#include "micro4/microphone.h"
#include "micro4/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr double kRealTimeBlocksPerSecond = 93.75;
constexpr int64_t kBlocksAhead = 64; // sender's lead over the reader: enough for the receiver to see a stream faster
                                     // than real time, few enough for the socket queues

std::vector<unsigned char> Datagram(int arrayChannel) {
  std::vector<unsigned char> d(812, 0);
  d[0] = 0x80;
  d[1] = 96;
  for (int i = 0; i < 400; ++i) {
    const auto v = static_cast<uint16_t>(i * 31 + arrayChannel * 1000);
    d[12 + 2 * static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> 8);
    d[13 + 2 * static_cast<std::size_t>(i)] = static_cast<unsigned char>(v & 0xFF);
  }
  return d;
}

void BM_ReceiveAndRead(benchmark::State &state) {
  micro4::TMicrophone mic("127.0.0.1", 554);
  if (!mic.StartReceiver({0, 0, 0, 0})) {
    state.SkipWithError("cannot bind the receive sockets");
    return;
  }
  std::array<sockaddr_in, 4> to{};
  for (int c = 1; c <= 4; ++c) {
    auto &addr = to[static_cast<std::size_t>(c - 1)];
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(mic.UdpPort(c)));
  }

  // Written by the reader (this thread), read by the sender.
  std::atomic<int64_t> blocksRead{0};
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    micro4::TUniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    std::array<std::vector<unsigned char>, 4> datagrams{Datagram(1), Datagram(2), Datagram(3), Datagram(4)};
    int64_t sent = 0;
    while (!stop.load(std::memory_order_acquire)) {
      if (sent - blocksRead.load(std::memory_order_acquire) >= kBlocksAhead) {
        std::this_thread::yield();
        continue;
      }
      const auto key = static_cast<uint32_t>(sent);
      for (std::size_t j = 0; j < 4; ++j) {
        std::memcpy(datagrams[j].data() + 4, &key, sizeof(key));
        (void)::sendto(sock.Get(), datagrams[j].data(), datagrams[j].size(), 0,
                       reinterpret_cast<const sockaddr *>(&to[j]), sizeof(to[j]));
      }
      ++sent;
    }
  });

  std::vector<double> v0(400), v1(400), v2(400), v3(400);
  const int blocks = mic.BlocksCount();
  int cursor = 0;
  bool stalled = false;
  for (auto _ : state) {
    const auto since = std::chrono::steady_clock::now();
    while (!mic.NonBlockReadAllCH(v0, v1, v2, v3, cursor)) {
      std::this_thread::yield();
      if (std::chrono::steady_clock::now() - since > std::chrono::seconds(2)) {
        stalled = true; // a datagram was lost after all: its group never completes
        break;
      }
    }
    if (stalled) {
      break;
    }
    benchmark::DoNotOptimize(v0.data());
    benchmark::DoNotOptimize(v3.data());
    cursor = (cursor + 1) % blocks;
    blocksRead.fetch_add(1, std::memory_order_release);
  }
  stop.store(true, std::memory_order_release);
  sender.join();
  if (stalled) {
    state.SkipWithError("no block for 2 s: datagrams were lost");
    return;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["blocks_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["x_realtime"] = benchmark::Counter(n / kRealTimeBlocksPerSecond, benchmark::Counter::kIsRate);
  state.counters["dropped_datagrams"] = static_cast<double>(mic.DroppedDatagrams());
}
BENCHMARK(BM_ReceiveAndRead)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// The read side alone: one published block converted into the four reader vectors again and again.
void BM_ReadAllChannelsOfABlock(benchmark::State &state) {
  micro4::TMicrophone mic("127.0.0.1", 554);
  if (!mic.StartReceiver({0, 0, 0, 0})) {
    state.SkipWithError("cannot bind the receive sockets");
    return;
  }
  micro4::TUniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (int c = 1; c <= 4; ++c) {
    const auto d = Datagram(c);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(mic.UdpPort(c)));
    (void)::sendto(sock.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
  }
  std::vector<double> v0, v1, v2, v3;
  const auto since = std::chrono::steady_clock::now();
  while (!mic.NonBlockReadAllCH(v0, v1, v2, v3, 0)) {
    if (std::chrono::steady_clock::now() - since > std::chrono::seconds(2)) {
      state.SkipWithError("block never published");
      return;
    }
    std::this_thread::yield();
  }
  for (auto _ : state) {
    mic.NonBlockReadAllCH(v0, v1, v2, v3, 0);
    benchmark::DoNotOptimize(v0.data());
    benchmark::ClobberMemory();
  }
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) / kRealTimeBlocksPerSecond,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadAllChannelsOfABlock);

} // namespace

BENCHMARK_MAIN();

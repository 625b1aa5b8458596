#pragma once
// Helpers of the array-client tests: crafted RTP datagrams, a loopback UDP sender, bounded waiting.

#include "micro4/microphone.h"
#include "micro4/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace micro4::test {

inline constexpr std::size_t kDatagramBytes = 812;

// An 812-byte RTP datagram whose timestamp field holds `key` in host byte order (the receiver compares the raw
// bytes) and whose 400 big-endian samples are sample(i).
template <typename SampleFn> std::vector<unsigned char> MakeDatagram(uint32_t key, SampleFn sample) {
  std::vector<unsigned char> d(kDatagramBytes, 0);
  d[0] = 0x80; // version 2
  d[1] = 96;   // dynamic payload type
  std::memcpy(d.data() + 4, &key, sizeof(key));
  for (int i = 0; i < 400; ++i) {
    const auto v = static_cast<uint16_t>(sample(i));
    d[12 + 2 * static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> 8);
    d[13 + 2 * static_cast<std::size_t>(i)] = static_cast<unsigned char>(v & 0xFF);
  }
  return d;
}

// Datagram whose first samples identify it: array channel, key high and low 16 bits, and a free tag; the rest
// is a ramp that depends on all of them.
inline std::vector<unsigned char> MarkedDatagram(int arrayChannel, uint32_t key, int tag = 0) {
  return MakeDatagram(key, [&](int i) -> int {
    switch (i) {
    case 0:
      return arrayChannel;
    case 1:
      return static_cast<int>(key >> 16);
    case 2:
      return static_cast<int>(key & 0xFFFF);
    case 3:
      return tag;
    default:
      return (i * 7 + arrayChannel * 1000 + static_cast<int>(key) + tag) & 0xFFFF;
    }
  });
}

struct TMarker {
  int ArrayChannel;
  uint32_t Key;
  int Tag;
};

inline uint16_t Bits(double sample) { return static_cast<uint16_t>(static_cast<int16_t>(sample)); }

inline TMarker ReadMarker(const std::vector<double> &v) {
  return {static_cast<int>(v.at(0)), (static_cast<uint32_t>(Bits(v.at(1))) << 16) | Bits(v.at(2)),
          static_cast<int>(v.at(3))};
}

// Sends datagrams to 127.0.0.1 from one socket.
class TUdpSender {
public:
  TUdpSender() : Socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (!Socket_) {
      throw std::runtime_error("cannot open UDP sender socket");
    }
  }
  void Send(int port, const std::vector<unsigned char> &datagram) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto sent = ::sendto(Socket_.Get(), datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr *>(&to), sizeof(to));
    if (sent != static_cast<ssize_t>(datagram.size())) {
      throw std::runtime_error("UDP send failed");
    }
  }

private:
  TUniqueFd Socket_;
};

// Waits until pred() holds; false after `limit` (a guard against hanging, not a speed requirement).
template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

} // namespace micro4::test

#pragma once
// Small loopback-socket helpers shared by the app tests: free ephemeral ports, client connections and reads
// that give up after a bound instead of hanging the test run.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/free_port.h"

namespace loopback {

// Owns one descriptor; closes it on destruction.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(TFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TFd &operator=(TFd &&other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  TFd(const TFd &) = delete;
  TFd &operator=(const TFd &) = delete;

  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

inline sockaddr_in LoopbackAddr(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Port of a bound socket.
inline int LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  return ntohs(addr.sin_port);
}

// A port that was free a moment ago (see tests/free_port.h). Nothing is listening on it afterwards.
inline int FreePort() { return ormelin_test::PickFreePort(); }

// Connects to 127.0.0.1:port; an invalid TFd when refused. `rcvbuf` > 0 shrinks the receive buffer first.
inline TFd Connect(int port, int rcvbuf = 0) {
  TFd s(::socket(AF_INET, SOCK_STREAM, 0));
  if (rcvbuf > 0) {
    ::setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  }
  const sockaddr_in addr = LoopbackAddr(port);
  if (::connect(s.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
    return TFd();
  }
  return s;
}

// Reads exactly n bytes unless the peer closes or nothing arrives for `quiet`. Returns what was read.
inline std::string ReadExactly(int fd, std::size_t n, std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
  std::string out;
  char buf[4096];
  while (out.size() < n) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
      break;
    }
    const std::size_t want = std::min(sizeof buf, n - out.size());
    const ssize_t got = ::recv(fd, buf, want, 0);
    if (got <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

// Reads one result frame (two length bytes, least significant first, then the text); "" on failure.
inline std::string ReadResultFrame(int fd, std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
  const std::string head = ReadExactly(fd, 2, quiet);
  if (head.size() != 2) {
    return {};
  }
  const std::size_t len =
      static_cast<unsigned char>(head[0]) | (static_cast<std::size_t>(static_cast<unsigned char>(head[1])) << 8U);
  const std::string text = ReadExactly(fd, len, quiet);
  return text.size() == len ? head + text : std::string{};
}

// True when nothing is readable for `wait` (no data, no close).
inline bool NothingArrives(int fd, std::chrono::milliseconds wait) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, static_cast<int>(wait.count())) == 0;
}

} // namespace loopback

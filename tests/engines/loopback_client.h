#pragma once
// The receiving end of a TTcpSenderSrv in tests: the sender listens on an ephemeral port (no fixed port, so no
// resource lock is needed), this client connects over 127.0.0.1 and the sender accepts it. Reads wait at most
// a few seconds, so a missing frame fails the test instead of hanging it.

#include "app/tcp_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class TLoopbackClient {
public:
  explicit TLoopbackClient(TTcpSenderSrv &sender) {
    sender.InitAsServer(0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (sender.ListenSock < 0 || getsockname(sender.ListenSock, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
      throw std::runtime_error("sender did not listen");
    }
    Fd_ = socket(AF_INET, SOCK_STREAM, 0);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Fd_ < 0 || connect(Fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("cannot connect to the sender");
    }
    sockaddr_in peer{};
    sender.AcceptNewConn(sender.ConnSock, peer);
  }
  TLoopbackClient(const TLoopbackClient &) = delete;
  TLoopbackClient &operator=(const TLoopbackClient &) = delete;
  ~TLoopbackClient() { close(Fd_); }

  // Reads exactly len bytes; false on timeout or end of stream.
  bool ReadExact(void *data, std::size_t len, int timeoutMs = 10000) {
    auto *p = static_cast<std::uint8_t *>(data);
    while (len > 0) {
      pollfd pfd{Fd_, POLLIN, 0};
      if (poll(&pfd, 1, timeoutMs) <= 0) {
        return false;
      }
      const ssize_t got = read(Fd_, p, len);
      if (got <= 0) {
        return false;
      }
      p += got;
      len -= static_cast<std::size_t>(got);
    }
    return true;
  }

  // Reads one result frame (two-byte little-endian length, then the text); false on timeout.
  bool ReadResult(std::string &text, int timeoutMs = 10000) {
    std::uint8_t head[2];
    if (!ReadExact(head, 2, timeoutMs)) {
      return false;
    }
    text.resize(static_cast<std::size_t>(head[0] | (head[1] << 8)));
    return ReadExact(text.data(), text.size(), timeoutMs);
  }

private:
  int Fd_ = -1;
};

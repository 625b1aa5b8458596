#include "tools/station_client/connection.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace station_client {

void TFd::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

EConnect ConnectTcp(const std::string &host, int port, int timeoutMs, int wakeFd, TFd &out, std::string &error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0 || found == nullptr) {
    error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
    return EConnect::Failed;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  ::freeaddrinfo(found);

  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    return EConnect::Failed;
  }
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    error = std::strerror(errno);
    return EConnect::Failed;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd.Get(), POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      error = "no answer within " + std::to_string(timeoutMs) + " ms";
      return EConnect::Failed;
    }
    const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      error = std::string("poll: ") + std::strerror(errno);
      return EConnect::Failed;
    }
    if (wakeFd >= 0 && (fds[1].revents & POLLIN) != 0) {
      return EConnect::Interrupted;
    }
    if (fds[0].revents != 0) {
      break;
    }
  }
  int soError = 0;
  socklen_t length = sizeof soError;
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
    soError = errno;
  }
  if (soError != 0) {
    error = std::strerror(soError);
    return EConnect::Failed;
  }
  out = std::move(fd);
  return EConnect::Connected;
}

} // namespace station_client

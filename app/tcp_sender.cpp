#include "app/tcp_sender.h"

#include "app/frames.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void CloseFd(int &fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace

TTcpSenderSrv::TTcpSenderSrv(std::chrono::milliseconds send_timeout) : send_timeout_(send_timeout) {}

TTcpSenderSrv::~TTcpSenderSrv() {
  CloseFd(ConnSock);
  CloseFd(ListenSock);
}

void TTcpSenderSrv::InitAsServer(int port) {
  // Sends use MSG_NOSIGNAL already; ignoring the signal as well covers any other write to a dead peer.
  std::signal(SIGPIPE, SIG_IGN);
  CloseFd(ListenSock);

  ListenSock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ListenSock == -1) {
    std::printf("socket creation failed...\n");
    return;
  }
  std::printf("Socket successfully created..\n");
  // Non-blocking, so that SendFrame can take a waiting client without ever blocking its writer; AcceptNewConn
  // waits in poll instead.
  const int flags = ::fcntl(ListenSock, F_GETFL, 0);
  if (flags >= 0) {
    ::fcntl(ListenSock, F_SETFL, flags | O_NONBLOCK);
  }

  const int one = 1;
  if (::setsockopt(ListenSock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
    std::printf("setsockopt(SO_REUSEADDR) failed");
    return;
  }
  if (::setsockopt(ListenSock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) < 0) {
    std::printf("setsockopt(SO_REUSEPORT) failed");
    return;
  }

  sockaddr_in addr{}; // zero address: every local interface
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port)); // the low 16 bits: a port above 65535 wraps
  if (::bind(ListenSock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
    std::printf("socket bind failed...\n");
    return;
  }
  std::printf("Socket successfully binded..\n");

  if (::listen(ListenSock, 5) != 0) {
    std::printf("Listen failed...\n");
  } else {
    std::printf("Server listening..\n");
  }
}

void TTcpSenderSrv::AcceptNewConn(int &conn, sockaddr_in &addr) {
  if (&conn == &ConnSock) {
    CloseFd(ConnSock);
    waited_ = Clock::duration::zero();
  }
  int fd = -1;
  for (;;) {
    socklen_t len = sizeof(sockaddr_in);
    fd = ::accept4(ListenSock, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      break;
    }
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // The listening socket is non-blocking; wait here for the client (or a stop request) instead.
      pollfd pfds[2] = {{ListenSock, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
      ::poll(pfds, 2, -1);
      if ((pfds[1].revents & POLLIN) != 0) {
        conn = -1;
        return; // stopping: no client, and nothing to report
      }
      continue;
    }
    break; // a socket that failed to bind or listen fails here at once
  }
  conn = fd;
  if (&conn == &ConnSock) {
    has_client_.store(fd >= 0, std::memory_order_relaxed);
  }
  if (fd < 0) {
    std::printf("server accept failed...\n");
  } else {
    std::printf("new tcp conn\n");
  }
}

bool TTcpSenderSrv::TryAcceptWaiting() {
  if (ListenSock < 0) {
    return false;
  }
  for (;;) {
    const int fd = ::accept4(ListenSock, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      ConnSock = fd;
      has_client_.store(true, std::memory_order_relaxed);
      std::printf("new tcp conn\n");
      return true;
    }
    if (errno != EINTR && errno != ECONNABORTED) {
      return false; // nobody waiting (EAGAIN) or the socket never listened
    }
  }
}

void TTcpSenderSrv::DropConnection() {
  CloseFd(ConnSock);
  waited_ = Clock::duration::zero(); // the next client starts with the whole budget
  has_client_.store(false, std::memory_order_relaxed);
  std::printf("tcp conn closed\n");
}

bool TTcpSenderSrv::SendFrame(const void *data, std::size_t len) {
  if (ConnSock < 0 && !TryAcceptWaiting()) {
    return false;
  }
  const auto *p = static_cast<const char *>(data);
  std::size_t left = len;
  bool waited = false;
  while (left > 0) {
    const ssize_t n = ::send(ConnSock, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The client's window is full: wait for room, within what is left of the budget.
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(send_timeout_ - waited_);
      if (remaining.count() <= 0) {
        DropConnection();
        return false;
      }
      pollfd pfds[2] = {{ConnSock, POLLOUT, 0}, {stop_fd_, POLLIN, 0}}; // a negative stop fd is ignored
      const Clock::time_point start = Clock::now();
      const int ready = ::poll(pfds, 2, static_cast<int>(remaining.count()));
      waited_ += Clock::now() - start;
      waited = true;
      if (ready < 0 && errno != EINTR) {
        DropConnection();
        return false;
      }
      if ((pfds[1].revents & POLLIN) != 0) {
        DropConnection(); // the station is stopping: the client gets the end of the stream, not a wait
        return false;
      }
      if ((pfds[0].revents & POLLOUT) != 0) {
        waited_ = Clock::duration::zero(); // the client read enough to free real room: it is slow, not stalled
      }
      // A client that does not read can still take some bytes into room too small to wake poll (its kernel
      // compacts what it holds); that must not buy this frame, or the next one, a fresh budget.
      if (waited_ >= send_timeout_) {
        DropConnection();
        return false;
      }
      continue; // an error or hang-up shows in the next send
    }
    DropConnection(); // the client has gone (EPIPE, ECONNRESET, ...)
    return false;
  }
  if (!waited) {
    waited_ = Clock::duration::zero(); // the buffer had room: the client keeps up
  }
  frames_sent_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool TTcpSenderSrv::SendResult(const std::string &text) {
  if (!EncodeResultFrame(text, result_frame_)) {
    return false;
  }
  return SendFrame(result_frame_.data(), result_frame_.size());
}

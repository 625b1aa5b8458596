#include "fake_rtsp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace micro4::test {

namespace {

constexpr int kPollMs = 20;

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The station's requests carry no terminating empty line; each ends with the user agent (request 1) or the
// credential (requests 2 to 5), and the next one is sent only after a reply.
bool IsCompleteRequest(const std::string &text) {
  return EndsWith(text, "Lavf60.20.100") || EndsWith(text, "QWNjdDpEZXZQd2Qx");
}

bool WaitReadable(int fd, const std::atomic<bool> &stop) {
  while (!stop.load(std::memory_order_acquire)) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, kPollMs) > 0) {
      return true;
    }
  }
  return false;
}

void SendAll(int fd, const std::string &text) { (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

} // namespace

TFakeRtspServer::TFakeRtspServer(std::vector<TRtspScript> scripts)
    : Scripts_(std::move(scripts)), Listen_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!Listen_) {
    throw std::runtime_error("fake RTSP server: socket failed");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(Listen_.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
      ::listen(Listen_.Get(), 8) != 0) {
    throw std::runtime_error("fake RTSP server: bind/listen failed");
  }
  socklen_t len = sizeof(addr);
  ::getsockname(Listen_.Get(), reinterpret_cast<sockaddr *>(&addr), &len);
  Port_ = ntohs(addr.sin_port);
  Thread_ = std::thread(&TFakeRtspServer::Run, this);
}

TFakeRtspServer::~TFakeRtspServer() {
  Stop_.store(true, std::memory_order_release);
  Thread_.join();
}

std::vector<std::vector<std::string>> TFakeRtspServer::Requests() const {
  std::lock_guard lock(Mutex_);
  return Requests_;
}

int TFakeRtspServer::Connections() const {
  std::lock_guard lock(Mutex_);
  return static_cast<int>(Requests_.size());
}

void TFakeRtspServer::Run() {
  while (WaitReadable(Listen_.Get(), Stop_)) {
    TUniqueFd conn(::accept4(Listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) {
      continue;
    }
    std::size_t index = 0;
    {
      std::lock_guard lock(Mutex_);
      index = Requests_.size();
      Requests_.emplace_back();
    }
    const TRtspScript script = index < Scripts_.size() ? Scripts_[index] : TRtspScript{};
    Serve(conn.Get(), script, index);
    // The station keeps its RTSP connections open; so does the array.
    Kept_.push_back(std::move(conn));
  }
}

void TFakeRtspServer::Serve(int fd, const TRtspScript &script, std::size_t connection) {
  using EMode = TRtspScript::EMode;
  if (script.Mode == EMode::CloseAtAccept) {
    ::shutdown(fd, SHUT_RDWR);
    return;
  }
  std::string pendingText;
  int count = 0;
  char buffer[4096];
  while (WaitReadable(fd, Stop_)) {
    const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      return; // the client closed (e.g. after its time-out)
    }
    pendingText.append(buffer, static_cast<std::size_t>(got));
    if (!IsCompleteRequest(pendingText)) {
      continue;
    }
    ++count;
    {
      std::lock_guard lock(Mutex_);
      Requests_[connection].push_back(pendingText);
    }
    pendingText.clear();
    switch (script.Mode) {
    case EMode::Normal:
      SendAll(fd, count == 4 ? script.SetupReply : "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(count) + "\r\n\r\n");
      if (count == 5) {
        return; // playing: the next connection may come
      }
      break;
    case EMode::OneByte:
      SendAll(fd, "R");
      if (count == 5) {
        return;
      }
      break;
    case EMode::CloseAfter:
      if (count >= script.CloseAfterRequest) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
      SendAll(fd, "RTSP/1.0 200 OK\r\n\r\n");
      break;
    case EMode::Silent:
    case EMode::CloseAtAccept:
      break;
    }
  }
}

} // namespace micro4::test

#include "tools/array_sim/rtsp_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace array_sim {

namespace {

constexpr std::size_t kMaxBuffered = std::size_t{64} * 1024; // bytes of one unfinished request
constexpr std::size_t kMaxConnections = 32;
constexpr std::size_t kMaxSessionsPerConnection = 8;          // a stream per channel and some slack
constexpr auto kRequestPause = std::chrono::milliseconds(15); // end of a request without an empty line
constexpr const char *kPublic = "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER";

using THeaders = std::vector<std::pair<std::string, std::string>>;

std::string Hex8(std::uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

// Identifier part of a Session header ("ABC;timeout=60" -> "ABC").
std::string SessionIdOf(const std::string &value) {
  std::string id = value.substr(0, value.find(';'));
  while (!id.empty() && (id.back() == ' ' || id.back() == '\t')) {
    id.pop_back();
  }
  return id;
}

} // namespace

TRtspServer::TRtspServer(TRtpStreamer &streamer, const TEventLog *log, int rateHz, std::uint64_t seed)
    : streamer_(streamer), log_(log), rateHz_(rateHz), ids_(seed, 500) {}

TRtspServer::~TRtspServer() { Stop(); }

bool TRtspServer::Listen(const std::string &address, int port, std::string &error) {
  sockaddr_in addr{};
  if (!MakeAddress(address, port, addr)) {
    error = "bad listen address " + address;
    return false;
  }
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (!fd.Valid() || ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd.Get(), 16) != 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr *>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  address_ = address;
  listen_ = std::move(fd);
  return true;
}

void TRtspServer::Start() {
  stop_.store(false, std::memory_order_relaxed);
  thread_ = std::thread([this] { Run(); });
}

void TRtspServer::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) {
    thread_.join();
  }
  for (auto &c : connections_) {
    Close(*c, "server stopping");
  }
  connections_.clear();
}

std::string TRtspServer::SessionText(std::uint64_t id) const {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(id));
  return text;
}

void TRtspServer::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<pollfd> fds;
  while (!stop_.load(std::memory_order_relaxed)) {
    fds.clear();
    fds.push_back({listen_.Get(), POLLIN, 0});
    auto timeout = std::chrono::milliseconds(50);
    const auto now = Clock::now();
    for (const auto &c : connections_) {
      fds.push_back({c->fd.Get(), POLLIN, 0});
      if (c->pauseDeadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*c->pauseDeadline - now);
        timeout = std::max(std::chrono::milliseconds(0), std::min(timeout, left + std::chrono::milliseconds(1)));
      }
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    if (ready < 0 && errno != EINTR) {
      if (log_ != nullptr) {
        log_->Print(std::string("poll failed: ") + std::strerror(errno));
      }
      break;
    }
    // Connections first (indices match fds[1..]), then new ones, so the pollfd array stays in step.
    for (std::size_t i = connections_.size(); i-- > 0;) {
      TConnection &c = *connections_[i];
      bool keep = true;
      std::string why = "closed by the client";
      if (ready > 0 && (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        keep = ReadFrom(c);
      }
      if (keep && c.pauseDeadline && Clock::now() >= *c.pauseDeadline) {
        keep = HandleBuffered(c, true);
        why = "reply could not be sent";
      }
      if (!keep) {
        Close(c, why);
        connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      Accept();
    }
  }
}

void TRtspServer::Accept() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  TFd fd(::accept4(listen_.Get(), reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd.Valid()) {
    return;
  }
  ++accepted_;
  if (connections_.size() >= kMaxConnections) {
    if (log_ != nullptr) {
      log_->Print("connection from " + FormatAddress(peer) + " refused: too many connections");
    }
    return;
  }
  auto c = std::make_unique<TConnection>();
  c->fd = std::move(fd);
  c->peer = peer;
  c->number = accepted_;
  if (log_ != nullptr) {
    log_->Print("connection #" + std::to_string(c->number) + " from " + FormatAddress(peer));
  }
  connections_.push_back(std::move(c));
}

bool TRtspServer::ReadFrom(TConnection &c) {
  char chunk[4096];
  const auto n = ::recv(c.fd.Get(), chunk, sizeof chunk, 0);
  if (n == 0) {
    return false;
  }
  if (n < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
  c.buffer.append(chunk, static_cast<std::size_t>(n));
  if (c.buffer.size() > kMaxBuffered) {
    const std::string reply = BuildReply(400, "Bad Request", "", {});
    ::send(c.fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return false;
  }
  return HandleBuffered(c, false);
}

bool TRtspServer::HandleBuffered(TConnection &c, bool pauseSeen) {
  for (std::size_t n = FindRequestEnd(c.buffer); n > 0; n = FindRequestEnd(c.buffer)) {
    const std::string text = c.buffer.substr(0, n);
    c.buffer.erase(0, n);
    if (!Handle(c, text)) {
      return false;
    }
  }
  c.pauseDeadline.reset();
  if (c.buffer.find_first_not_of(" \t\r\n") == std::string::npos) {
    c.buffer.clear();
    return true;
  }
  if (!pauseSeen) {
    c.pauseDeadline = std::chrono::steady_clock::now() + kRequestPause;
    return true;
  }
  const std::string text = std::move(c.buffer);
  c.buffer.clear();
  return Handle(c, text);
}

bool TRtspServer::Handle(TConnection &c, std::string_view text) {
  TRtspRequest r;
  std::string error;
  std::string reply;
  if (!ParseRtspRequest(text, r, error)) {
    reply = BuildReply(400, "Bad Request", "", {});
    if (log_ != nullptr) {
      log_->Print("connection #" + std::to_string(c.number) + ": " + error);
    }
  } else {
    reply = Answer(c, r);
  }
  std::size_t done = 0;
  while (done < reply.size()) {
    const auto n = ::send(c.fd.Get(), reply.data() + done, reply.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false; // a client that does not read its replies is dropped
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TRtspServer::Answer(TConnection &c, const TRtspRequest &r) {
  const std::string &cseq = r.cseq;
  const std::string who = "connection #" + std::to_string(c.number);
  const auto event = [&](const std::string &text) {
    if (log_ != nullptr) {
      log_->Print(text);
    }
  };
  if (r.version != "RTSP/1.0") {
    event(who + ": " + r.method + " with unsupported version '" + r.version + "'");
    return BuildReply(505, "RTSP Version Not Supported", cseq, {});
  }
  if (cseq.empty()) {
    event(who + ": " + r.method + " without a CSeq");
    return BuildReply(400, "Bad Request", cseq, {});
  }
  // The session a request names, or the connection's only session when it names none (the station always
  // names it; lenient for simple clients).
  const auto findSession = [&]() -> TSession * {
    const std::string *header = r.Header("session");
    if (header == nullptr) {
      return c.sessions.size() == 1 ? &c.sessions.front() : nullptr;
    }
    const std::string id = SessionIdOf(*header);
    for (auto &s : c.sessions) {
      if (SessionText(s.id) == id) {
        return &s;
      }
    }
    return nullptr;
  };
  const std::string &m = r.method;
  if (m == "OPTIONS") {
    return BuildReply(200, "OK", cseq, {{"Public", kPublic}});
  }
  if (m == "GET_PARAMETER" || m == "SET_PARAMETER") {
    return BuildReply(200, "OK", cseq, {});
  }
  if (m == "DESCRIBE") {
    if (r.channel == 0) {
      event(who + ": DESCRIBE of unknown stream " + r.url);
      return BuildReply(404, "Not Found", cseq, {});
    }
    const std::string base = (r.url.empty() || r.url.back() != '/') ? r.url + "/" : r.url;
    return BuildReply(200, "OK", cseq, {{"Content-Base", base}, {"Content-Type", "application/sdp"}},
                      BuildSdp(r.channel, rateHz_, address_, ids_.NextU64() >> 12));
  }
  if (m == "SETUP") {
    if (r.channel == 0) {
      event(who + ": SETUP of unknown stream " + r.url);
      return BuildReply(404, "Not Found", cseq, {});
    }
    const std::string *transportText = r.Header("transport");
    TTransport transport;
    std::string error = "no Transport header";
    if (transportText == nullptr || !ParseTransport(*transportText, transport, error)) {
      event(who + ": SETUP refused: " + error);
      return BuildReply(461, "Unsupported Transport", cseq, {});
    }
    TSession *s = nullptr;
    if (r.Header("session") != nullptr) {
      s = findSession();
      if (s == nullptr) {
        return BuildReply(454, "Session Not Found", cseq, {});
      }
    } else {
      if (c.sessions.size() >= kMaxSessionsPerConnection) {
        event(who + ": SETUP refused: too many sessions on one connection");
        return BuildReply(453, "Not Enough Bandwidth", cseq, {});
      }
      c.sessions.push_back(TSession{ids_.NextU64(), 0, {}, false});
      s = &c.sessions.back();
    }
    s->channel = r.channel;
    s->transport = transport;
    const int serverPort = streamer_.ServerPort(r.channel);
    const std::string id = SessionText(s->id);
    sockaddr_in dest = c.peer;
    dest.sin_port = htons(static_cast<std::uint16_t>(transport.rtpPort));
    event("session " + id + ": channel " + std::to_string(r.channel) + " set up for " + FormatAddress(dest) + " (" +
          who + ")");
    return BuildReply(
        200, "OK", cseq,
        {{"Transport", "RTP/AVP;unicast;client_port=" + std::to_string(transport.rtpPort) + "-" +
                           std::to_string(transport.rtcpPort) + ";server_port=" + std::to_string(serverPort) + "-" +
                           std::to_string(serverPort + 1) + ";ssrc=" + Hex8(streamer_.Ssrc(r.channel))},
         {"Session", id + ";timeout=60"}});
  }
  if (m == "PLAY" || m == "PAUSE" || m == "TEARDOWN") {
    TSession *s = findSession();
    if (s == nullptr) {
      event(who + ": " + m + " for an unknown session");
      return BuildReply(454, "Session Not Found", cseq, {});
    }
    const std::string id = SessionText(s->id);
    if (m == "PLAY") {
      sockaddr_in dest = c.peer;
      dest.sin_port = htons(static_cast<std::uint16_t>(s->transport.rtpPort));
      const auto firstSeq = static_cast<std::uint16_t>(ids_.NextU64());
      const std::int64_t block = streamer_.Play(s->id, s->channel, dest, firstSeq);
      event("session " + id + ": channel " + std::to_string(s->channel) + " playing to " + FormatAddress(dest) +
            " from block " + std::to_string(block));
      THeaders headers{{"Range", "npt=0.000-"}};
      if (!s->played) {
        headers.emplace_back("RTP-Info", "url=" + r.url + ";seq=" + std::to_string(firstSeq) +
                                             ";rtptime=" + std::to_string(static_cast<std::uint32_t>(block * 400)));
      }
      s->played = true;
      headers.emplace_back("Session", id);
      return BuildReply(200, "OK", cseq, headers);
    }
    if (m == "PAUSE") {
      streamer_.Pause(s->id);
      event("session " + id + ": channel " + std::to_string(s->channel) + " paused");
      return BuildReply(200, "OK", cseq, {{"Session", id}});
    }
    const std::uint64_t gone = s->id;
    streamer_.Remove(gone);
    event("session " + id + ": channel " + std::to_string(s->channel) + " torn down");
    std::erase_if(c.sessions, [gone](const TSession &x) { return x.id == gone; });
    return BuildReply(200, "OK", cseq, {});
  }
  event(who + ": method " + m + " not implemented");
  return BuildReply(501, "Not Implemented", cseq, {{"Public", kPublic}});
}

void TRtspServer::Close(TConnection &c, const std::string &why) {
  for (const auto &s : c.sessions) {
    streamer_.Remove(s.id);
  }
  if (log_ != nullptr) {
    log_->Print("connection #" + std::to_string(c.number) + " from " + FormatAddress(c.peer) + " " + why + "; " +
                std::to_string(c.sessions.size()) + " session(s) ended");
  }
  c.sessions.clear();
  c.fd.Reset();
}

} // namespace array_sim

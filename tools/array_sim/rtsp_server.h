#pragma once
// RTSP side of the virtual array: one thread that accepts connections on the listening address and answers
// OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN and GET_PARAMETER/SET_PARAMETER for /channel=1 .. /channel=4,
// in the station's dialect or in ordinary RTSP. A session belongs to the connection that set it up; when the
// connection closes, its sessions end and the sender stops sending to them.
//
// Threads: the owner calls Listen, Start and Stop; the server thread runs Run and calls the streamer's
// Play/Pause/Remove.

#include "tools/array_sim/net.h"
#include "tools/array_sim/rtsp_text.h"
#include "tools/array_sim/streamer.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace array_sim {

class TRtspServer {
public:
  TRtspServer(TRtpStreamer &streamer, const TEventLog *log, int rateHz, std::uint64_t seed);
  ~TRtspServer();
  TRtspServer(const TRtspServer &) = delete;
  TRtspServer &operator=(const TRtspServer &) = delete;

  // Binds and listens (port 0 picks a free port). False with one line on failure.
  bool Listen(const std::string &address, int port, std::string &error);
  int Port() const { return port_; }
  void Start();
  void Stop(); // stops and joins the thread, closes every connection; idempotent

private:
  struct TSession {
    std::uint64_t id = 0;
    int channel = 0;
    TTransport transport;
    bool played = false;
  };
  struct TConnection {
    TFd fd;
    sockaddr_in peer{};
    int number = 0;
    std::string buffer;
    // Set while unterminated bytes wait: when nothing more arrives by then, they are taken as one request
    // (the station's requests end without an empty line).
    std::optional<std::chrono::steady_clock::time_point> pauseDeadline;
    std::vector<TSession> sessions;
  };

  void Run();
  void Accept();
  // False when the connection is to be closed.
  bool ReadFrom(TConnection &c);
  bool HandleBuffered(TConnection &c, bool pauseSeen);
  bool Handle(TConnection &c, std::string_view text);
  std::string Answer(TConnection &c, const TRtspRequest &r);
  void Close(TConnection &c, const std::string &why);
  std::string SessionText(std::uint64_t id) const;

  TRtpStreamer &streamer_;
  const TEventLog *log_;
  int rateHz_;
  sim::TRandom ids_;
  std::string address_;
  int port_ = 0;
  TFd listen_;
  std::vector<std::unique_ptr<TConnection>> connections_; // server thread only
  int accepted_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace array_sim

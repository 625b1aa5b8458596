#pragma once
// A stand-in for the array's RTSP side on 127.0.0.1: accepts connections one after another, records every request
// byte for byte and answers as its script for that connection says. Owns one thread, joined by the destructor.

#include "micro4/unique_fd.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace micro4::test {

struct TRtspScript {
  enum class EMode {
    Normal,        // a small RTSP reply to each request; SetupReply to the fourth
    OneByte,       // a single byte to each request
    CloseAfter,    // close the connection, without replying, once request CloseAfterRequest has arrived
    Silent,        // read requests but never answer
    CloseAtAccept, // close right after accepting
  };
  EMode Mode = EMode::Normal;
  int CloseAfterRequest = 1;
  std::string SetupReply = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=1-2\r\n"
                           "Session: 4F2A9C11;timeout=60\r\n\r\n";
};

class TFakeRtspServer {
public:
  // Connection i follows scripts[i]; connections beyond the list follow the default (Normal) script.
  explicit TFakeRtspServer(std::vector<TRtspScript> scripts = {});
  ~TFakeRtspServer();
  TFakeRtspServer(const TFakeRtspServer &) = delete;
  TFakeRtspServer &operator=(const TFakeRtspServer &) = delete;

  int Port() const { return Port_; }
  // Requests received so far, per accepted connection.
  std::vector<std::vector<std::string>> Requests() const;
  int Connections() const;

private:
  void Run();
  void Serve(int fd, const TRtspScript &script, std::size_t connection);

  std::vector<TRtspScript> Scripts_;
  TUniqueFd Listen_;
  int Port_ = 0;
  std::atomic<bool> Stop_{false};
  mutable std::mutex Mutex_;
  std::vector<std::vector<std::string>> Requests_; // guarded by Mutex_
  std::vector<TUniqueFd> Kept_;                    // connections left open (server thread only)
  std::thread Thread_;
};

} // namespace micro4::test

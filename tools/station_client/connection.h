#pragma once
// TCP client side of the monitor: an owned descriptor and a connect that can be cut short by a signal.
// Used by the monitor's main thread only.

#include <string>
#include <utility>

namespace station_client {

// Owns one file descriptor; closes it on destruction. Move-only.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() { Close(); }
  TFd(TFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TFd &operator=(TFd &&other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  TFd(const TFd &) = delete;
  TFd &operator=(const TFd &) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Close();

private:
  int fd_ = -1;
};

enum class EConnect { Connected, Failed, Interrupted };

// Connects to `host`:`port` (IPv4; a dotted address or a name) within `timeoutMs`. The returned socket is
// non-blocking. Gives up with Interrupted as soon as `wakeFd` (a signalfd, or -1 for none) becomes
// readable. On Failed, `error` holds the reason, e.g. "Connection refused".
EConnect ConnectTcp(const std::string &host, int port, int timeoutMs, int wakeFd, TFd &out, std::string &error);

} // namespace station_client

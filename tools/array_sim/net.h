#pragma once
// Small POSIX helpers of the virtual array: a move-only file descriptor and address formatting, plus the
// event log whose lines report sessions on standard output.

#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace array_sim {

// Owns one file descriptor; closes it on destruction. Move-only.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  TFd(const TFd &) = delete;
  TFd &operator=(const TFd &) = delete;
  TFd(TFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TFd &operator=(TFd &&other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  ~TFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

private:
  int fd_ = -1;
};

std::string FormatAddress(const sockaddr_in &addr); // "127.0.0.1:33712"
bool MakeAddress(const std::string &dottedIpv4, int port, sockaddr_in &out);

// One line per event, "[SECONDS] text", seconds since the log was made. Writes each line with one stdio call,
// so lines of the RTSP and sender threads never interleave. A null stream discards the lines (tests).
class TEventLog {
public:
  explicit TEventLog(std::FILE *out) : out_(out), start_(std::chrono::steady_clock::now()) {}
  void Print(const std::string &text) const;

private:
  std::FILE *out_;
  std::chrono::steady_clock::time_point start_;
};

} // namespace array_sim

#pragma once
// Helpers of the tests that run the programs: an owned descriptor, a child program with its output in a file,
// free loopback ports, and bounded waits for a connection or a line in a log.

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/free_port.h"

namespace process_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string FileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A file descriptor closed on destruction.
class TFd {
public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  TFd(TFd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  TFd &operator=(TFd &&o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  TFd(const TFd &) = delete;
  TFd &operator=(const TFd &) = delete;
  ~TFd() { Reset(); }
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

private:
  int fd_;
};

// A child program with stdout and stderr in files. The destructor ends it (SIGTERM, then SIGKILL) and reaps it.
class TChild {
public:
  TChild(const std::string &program, const std::vector<std::string> &args, const std::string &logPath) {
    // Everything the child needs is prepared before the fork: between fork and exec it only calls
    // async-signal-safe functions.
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(all.size() + 1);
    for (std::string &a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const TFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const TFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (log.Get() < 0 || null.Get() < 0) {
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(null.Get(), 0);
      ::dup2(log.Get(), 1);
      ::dup2(log.Get(), 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  TChild(const TChild &) = delete;
  TChild &operator=(const TChild &) = delete;
  ~TChild() { Stop(); }

  bool Started() const { return pid_ > 0; }

  // The exit status once the child has ended by itself, without waiting.
  std::optional<int> Poll() {
    if (pid_ > 0) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
        pid_ = -1;
      }
    }
    return status_;
  }

  void Stop() {
    if (pid_ <= 0) {
      return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline && !Poll()) {
      std::this_thread::sleep_for(20ms);
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A loopback TCP port nobody listens on right now.
inline int FreePort() { return ormelin_test::PickFreePort(); }

inline TFd ConnectWithin(int port, std::chrono::milliseconds patience) {
  const auto deadline = Clock::now() + patience;
  while (Clock::now() < deadline) {
    TFd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
      return s;
    }
    std::this_thread::sleep_for(20ms);
  }
  return TFd();
}

inline bool WaitForText(const std::string &path, const std::string &text, std::chrono::milliseconds patience) {
  const auto deadline = Clock::now() + patience;
  while (Clock::now() < deadline) {
    if (FileText(path).find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// True while no station holds the array's first RTP port (the station binds fixed UDP ports 33712..).
inline bool StationPortsFree() {
  const TFd s(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(33712);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(s.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

} // namespace process_test

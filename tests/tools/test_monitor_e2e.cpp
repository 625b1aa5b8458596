// ormelin_monitor as a process against a fake station on loopback: the result server first, the spectrum
// server only once the result client is in, frames delivered in pieces, a bad frame, a station restart.
// The fake station runs on the test's own thread; the monitor is a child process whose output goes to files.

#include "app/frames.h"
#include "app/results_group.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef ORMELIN_MONITOR_PATH
#error "ORMELIN_MONITOR_PATH must name the ormelin_monitor program"
#endif

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TSock {
public:
  TSock() = default;
  explicit TSock(int fd) : fd_(fd) {}
  ~TSock() { Close(); }
  TSock(TSock &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  TSock &operator=(TSock &&o) noexcept {
    if (this != &o) {
      Close();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

// A socket bound to 127.0.0.1:`port` (0: any free port) but not yet listening: connections to it are refused,
// as they are to a station that has not opened that server yet.
TSock BoundSocket(int port, int &boundPort) {
  TSock s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  EXPECT_EQ(::bind(s.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0) << "port " << port;
  socklen_t len = sizeof addr;
  ::getsockname(s.Get(), reinterpret_cast<sockaddr *>(&addr), &len);
  boundPort = ntohs(addr.sin_port);
  return s;
}

TSock Accept(const TSock &listener, std::chrono::milliseconds timeout) {
  pollfd p{listener.Get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
    return {};
  }
  return TSock(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// The station's side of both ports, with the station's start-up order.
class TFakeStation {
public:
  TFakeStation() { Open(); }

  // Binds both ports (the same numbers again after a Close) and listens on the result port only.
  void Open() {
    resultListen_ = BoundSocket(resultPort_, resultPort_);
    spectrumListen_ = BoundSocket(spectrPort_, spectrPort_);
    ASSERT_EQ(::listen(resultListen_.Get(), 5), 0);
  }

  // Takes the result client, then opens the spectrum server and takes its client.
  void AcceptBoth() {
    result_ = Accept(resultListen_, 10s);
    ASSERT_GE(result_.Get(), 0) << "the monitor did not connect to the result port";
    ASSERT_EQ(::listen(spectrumListen_.Get(), 5), 0);
    spectrum_ = Accept(spectrumListen_, 10s);
    ASSERT_GE(spectrum_.Get(), 0) << "the monitor did not connect to the spectrum port";
  }

  void AcceptNextResultClient() {
    result_ = Accept(resultListen_, 10s);
    ASSERT_GE(result_.Get(), 0) << "the monitor did not come back to the result port";
  }

  // Writes in small pieces with pauses, so the monitor sees frames cut inside the count and the body.
  static void Trickle(int fd, const std::uint8_t *data, std::size_t size) {
    const std::size_t pieces[] = {1, 2, 5};
    std::size_t at = 0;
    for (std::size_t i = 0; at < size; ++i) {
      const std::size_t n = std::min(size - at, i < 3 ? pieces[i] : size - at);
      ASSERT_EQ(::send(fd, data + at, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
      at += n;
      std::this_thread::sleep_for(3ms);
    }
  }
  void SendResultText(const std::string &text) {
    std::string frame;
    ASSERT_TRUE(EncodeResultFrame(text, frame));
    Trickle(result_.Get(), reinterpret_cast<const std::uint8_t *>(frame.data()), frame.size());
  }
  void SendRaw(const std::vector<std::uint8_t> &bytes) { Trickle(result_.Get(), bytes.data(), bytes.size()); }
  void SendSpectrum(const std::vector<float> &levels) {
    std::vector<std::uint8_t> frame;
    EncodeSpectrumFrame(levels.data(), static_cast<std::uint16_t>(levels.size()), frame);
    Trickle(spectrum_.Get(), frame.data(), frame.size());
  }

  // Everything goes, as when the station process ends.
  void Close() {
    result_.Close();
    spectrum_.Close();
    resultListen_.Close();
    spectrumListen_.Close();
  }

  int ResultPort() const { return resultPort_; }
  int SpectrPort() const { return spectrPort_; }

private:
  int resultPort_ = 0;
  int spectrPort_ = 0;
  TSock resultListen_;
  TSock spectrumListen_;
  TSock result_;
  TSock spectrum_;
};

std::string ReadFile(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    lines.push_back(l);
  }
  return lines;
}

// The monitor as a child process, standard output and error in files of a private directory; killed and
// reaped on destruction if still running.
class TMonitorProcess {
public:
  explicit TMonitorProcess(const std::vector<std::string> &args) {
    dir_ = std::filesystem::temp_directory_path() /
           ("ormelin_monitor_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all = {ORMELIN_MONITOR_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(all.size() + 1);
    for (std::string &a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, ORMELIN_MONITOR_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0);
    if (rc != 0) {
      pid_ = -1;
    }
  }
  ~TMonitorProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TMonitorProcess(const TMonitorProcess &) = delete;
  TMonitorProcess &operator=(const TMonitorProcess &) = delete;

  // Exit status, or -1 when it has not ended within `timeout` (or died by a signal).
  int Wait(std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (Clock::now() > end) {
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  // Waits until standard output or error holds `text`.
  bool WaitFor(const char *stream, const std::string &text, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      if (ReadFile(dir_ / stream).find(text) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  void Signal(int sig) const { ::kill(pid_, sig); }
  std::string Out() const { return ReadFile(dir_ / "out"); }
  std::string Err() const { return ReadFile(dir_ / "err"); }

private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

std::vector<std::string> PortArgs(const TFakeStation &station) {
  return {"--json-port", std::to_string(station.ResultPort()), "--spectr-port", std::to_string(station.SpectrPort())};
}

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(MonitorProcess, FollowsTheStationThroughBadFramesAndARestart) {
  TFakeStation station;
  TMonitorProcess monitor(With(PortArgs(station), {"--json", "--count", "5", "--seconds", "60", "--fmin", "4000"}));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string r1 = TResultsGroup({0.01, 0.02, 0.03, 0.04}, {0.0, 45.0}, 0.0, 0.05).ConvToJSON_Str();
  const std::string r2 = TResultsGroup({0.2, 0.3, 0.25, 0.4}, {123.5, 45.0}, 2.0, 0.05).ConvToJSON_Str();
  const std::string r3 = TResultsGroup({0.2, nan, 0.25, 0.4}, {-90.0, 45.0}, 1.0, 0.05).ConvToJSON_Str();
  const std::string r4 = R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})";
  const std::string r5 = TResultsGroup({0.01, 0.0, 0.0, 0.0}, {270.0, 45.0}, 0.0, 0.05).ConvToJSON_Str();
  std::vector<float> levels(385, 10.0F);
  levels[44] = 41.25F; // bin 256 + 44 = 300: 4687.5 Hz
  const std::vector<float> silent(385, -std::numeric_limits<float>::infinity());

  ASSERT_NO_FATAL_FAILURE(station.AcceptBoth());
  station.SendResultText(r1);
  station.SendSpectrum(levels);
  station.SendResultText(R"({"alert":0,"brd":0.05,"dots":[0.1,)"); // a frame whose text is cut short
  station.SendResultText(r2);
  ASSERT_TRUE(monitor.WaitFor("out", r2, 10s));
  ASSERT_TRUE(monitor.WaitFor("out", "\"spectrum\"", 10s));

  // The station ends, and comes back after a while on the same ports.
  station.Close();
  ASSERT_TRUE(monitor.WaitFor("err", "closed the connection", 10s));
  ASSERT_TRUE(monitor.WaitFor("err", "Connection refused", 10s));
  ASSERT_NO_FATAL_FAILURE(station.Open());
  ASSERT_NO_FATAL_FAILURE(station.AcceptBoth());
  station.SendSpectrum(silent);
  station.SendResultText(r3);
  station.SendResultText(r4);
  ASSERT_TRUE(monitor.WaitFor("out", "\"peak_hz\":null", 10s));
  station.SendResultText(r5);
  EXPECT_EQ(monitor.Wait(20s), 0) << monitor.Err();

  std::vector<std::string> results;
  std::vector<std::string> spectra;
  for (const std::string &l : Lines(monitor.Out())) {
    (l.rfind("{\"spectrum\"", 0) == 0 ? spectra : results).push_back(l);
  }
  EXPECT_EQ(results, (std::vector<std::string>{r1, r2, r3, r4, r5}));
  EXPECT_EQ(spectra, (std::vector<std::string>{R"({"spectrum":{"count":385,"peak_hz":4687.5,"peak_db":41.25}})",
                                               R"({"spectrum":{"count":385,"peak_hz":null,"peak_db":null}})"}));
  const std::string err = monitor.Err();
  EXPECT_NE(err.find("bad result frame: invalid JSON"), std::string::npos) << err;
  EXPECT_NE(err.find("retrying every 0.5 s"), std::string::npos) << err;
}

TEST(MonitorProcess, ReconnectsToGetBackInStepAfterAnAbsurdLength) {
  TFakeStation station;
  TMonitorProcess monitor(With(PortArgs(station), {"--json", "--count", "1", "--seconds", "60"}));
  ASSERT_NO_FATAL_FAILURE(station.AcceptBoth());
  station.SendRaw({0xff, 0xff, '{', '"'}); // 65535 bytes announced: no result text is that long
  // The monitor gives up this connection and comes back; the station serves the next client that connects.
  ASSERT_NO_FATAL_FAILURE(station.AcceptNextResultClient());
  const std::string text = R"({"alert":2,"brd":0.05,"dots":[0.2,0.2,0.2,0.2],"dirs":[33.0,45.0]})";
  station.SendResultText(text);
  EXPECT_EQ(monitor.Wait(20s), 0) << monitor.Err();
  EXPECT_EQ(monitor.Out(), text + "\n");
  EXPECT_NE(monitor.Err().find("65535 above the limit"), std::string::npos) << monitor.Err();
}

TEST(MonitorProcess, LiveViewStopsCleanlyOnSigintWhileWaitingForTheStation) {
  int resultPort = 0;
  int spectrPort = 0;
  // Bound but not listening: every connection attempt is refused, as with no station running.
  const TSock result = BoundSocket(0, resultPort);
  const TSock spectrum = BoundSocket(0, spectrPort);
  TMonitorProcess monitor({"--json-port", std::to_string(resultPort), "--spectr-port", std::to_string(spectrPort)});
  ASSERT_TRUE(monitor.WaitFor("out", "Connection refused", 10s)) << monitor.Out();
  monitor.Signal(SIGINT);
  EXPECT_EQ(monitor.Wait(10s), 0);
  const std::string out = monitor.Out();
  EXPECT_NE(out.find("(no result message yet)"), std::string::npos);
  // The cursor hidden for the redraws is shown again at the end.
  EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 8), "\x1b[?25h\r\n");
}

TEST(MonitorProcess, FailsWhenTooFewMessagesArriveInTime) {
  int resultPort = 0;
  int spectrPort = 0;
  const TSock result = BoundSocket(0, resultPort);
  const TSock spectrum = BoundSocket(0, spectrPort);
  TMonitorProcess monitor({"--json", "--json-port", std::to_string(resultPort), "--spectr-port",
                           std::to_string(spectrPort), "--count", "3", "--seconds", "0.5"});
  EXPECT_EQ(monitor.Wait(10s), 1);
  EXPECT_NE(monitor.Err().find("only 0 of 3 result messages"), std::string::npos) << monitor.Err();
  EXPECT_EQ(monitor.Out(), "");
}

} // namespace

// The built station, run as a process on the road without an array: the array address points at a closed
// loopback port, so the array client fails at once and the station sends its test message.
#include "tests/app/loopback.h"

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using loopback::TFd;
using Clock = std::chrono::steady_clock;

const std::string kStation = ORMELIN_BINARY_DIR "/ormelin_station";
const std::string kSettings = ORMELIN_SOURCE_DIR "/settings/";
const std::string kFrame =
    std::string("\x42\x00", 2) + R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})";
const std::string kServerLines = "Socket successfully created..\nSocket successfully binded..\nServer listening..\n";

// One station process with its standard output (and optionally standard error) on pipes. Killed and reaped on
// destruction.
class TStationProcess {
public:
  explicit TStationProcess(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {}) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv_text = {kStation};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(argv_text.size() + 1);
    for (auto &a : argv_text) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
      env_text.emplace_back(*e);
    }
    env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
    std::vector<char *> envp;
    for (auto &e : env_text) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, kStation.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = TFd(out[0]);
    err_ = TFd(err[0]);
  }
  ~TStationProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TStationProcess(const TStationProcess &) = delete;
  TStationProcess &operator=(const TStationProcess &) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Everything printed on standard output so far, once it contains `marker` (or after `limit`).
  const std::string &StdoutUntil(const std::string &marker, std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (stdout_.find(marker) == std::string::npos && Clock::now() < end) {
      if (!Drain(out_.Get(), stdout_, 50ms)) {
        break;
      }
    }
    return stdout_;
  }

  // Waits for the process to end; its exit status, or -1 when it did not end in time.
  int Wait(std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      Drain(out_.Get(), stdout_, 10ms);
      Drain(err_.Get(), stderr_, 0ms);
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (Drain(out_.Get(), stdout_, 0ms) || Drain(err_.Get(), stderr_, 0ms)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

  bool Running() {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

  const std::string &Stdout() const { return stdout_; }
  const std::string &Stderr() const { return stderr_; }

private:
  // Appends what `fd` offers within `wait`; false at end of file or when nothing came.
  static bool Drain(int fd, std::string &sink, std::chrono::milliseconds wait) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(wait.count())) <= 0) {
      return wait.count() > 0; // a quiet pipe is not the end while waiting
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      return false;
    }
    sink.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  TFd out_;
  TFd err_;
  std::string stdout_;
  std::string stderr_;
};

// A closed loopback port for the array: bound once, released, never listened on.
std::string ClosedArrayEndpoint() { return "127.0.0.1:" + std::to_string(loopback::FreePort()); }

// Starts a station on fresh ports and connects the result client, then the spectrum client, checking every
// start-up line on the way and that the spectrum port refuses before the result client is in.
struct TStartedStation {
  int json_port = loopback::FreePort();
  int spectr_port = loopback::FreePort();
  std::string array_endpoint = ClosedArrayEndpoint();
  TStationProcess process{{kSettings, std::to_string(json_port), std::to_string(spectr_port), array_endpoint}};
  TFd result_client;
  TFd spectrum_client;

  void StartUp() {
    ASSERT_TRUE(process.Started());
    const std::string header = "cmd_args:\nsettings_path = " + kSettings +
                               "\njson_port = " + std::to_string(json_port) +
                               "\nspectr_port = " + std::to_string(spectr_port) + "\n\n";
    const std::string fail = "Microphone connect try FAIL\n";
    const std::string &out = process.StdoutUntil(fail + kServerLines);
    ASSERT_EQ(out.substr(0, header.size()), header);
    const std::size_t tail = out.find(fail);
    ASSERT_NE(tail, std::string::npos) << out;
    EXPECT_EQ(out.substr(tail), fail + kServerLines);

    EXPECT_LT(loopback::Connect(spectr_port).Get(), 0) << "spectrum server must not exist yet";

    result_client = loopback::Connect(json_port);
    ASSERT_GE(result_client.Get(), 0);
    process.StdoutUntil(fail + kServerLines + "new tcp conn\n" + kServerLines);
    spectrum_client = loopback::Connect(spectr_port);
    ASSERT_GE(spectrum_client.Get(), 0);
    // The start-up lines as ever ("Tcp-Senders created" without a line end), then, on a line of its own, the
    // retrying of the array that did not answer.
    const std::string all = fail + kServerLines + "new tcp conn\n" + kServerLines + "new tcp conn\nTcp-Senders created";
    const std::string retry = "\narray " + array_endpoint + " no answer: retrying";
    EXPECT_EQ(process.StdoutUntil(all + retry).substr(tail, all.size() + retry.size()), all + retry);
  }
};

TEST(OrmelinStation, WithoutArraySendsTheTestFrameEvery200ms) {
  TStartedStation station;
  station.StartUp();
  if (HasFatalFailure()) {
    return;
  }
  ASSERT_EQ(loopback::ReadResultFrame(station.result_client.Get()), kFrame);
  const auto first = Clock::now();
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(loopback::ReadResultFrame(station.result_client.Get()), kFrame) << "frame " << i;
  }
  // Five more sleeps of at least 200 ms each lie between the first frame and the sixth (a lower bound only).
  EXPECT_GE(Clock::now() - first, 900ms);
  EXPECT_TRUE(loopback::NothingArrives(station.spectrum_client.Get(), 300ms)) << "spectrum port stays silent";
}

TEST(OrmelinStation, NewResultClientAfterADisconnectReceivesWholeFrames) {
  TStartedStation station;
  station.StartUp();
  if (HasFatalFailure()) {
    return;
  }
  ASSERT_EQ(loopback::ReadResultFrame(station.result_client.Get()), kFrame);
  station.result_client.Reset();
  std::this_thread::sleep_for(100ms);

  TFd next = loopback::Connect(station.json_port);
  ASSERT_GE(next.Get(), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(loopback::ReadResultFrame(next.Get()), kFrame) << "frame " << i;
  }
  EXPECT_TRUE(station.process.Running());
}

// A service manager's stop (SIGTERM) or Ctrl-C (SIGINT) ends the station cleanly: status 0 within a second,
// wherever it waits, and the clients see the end of their streams.
TEST(OrmelinStation, TermOrIntStopsCleanlyWithStatus0WithinASecond) {
  {
    TStartedStation station; // sending the test message, both clients connected
    station.StartUp();
    if (HasFatalFailure()) {
      return;
    }
    ASSERT_EQ(loopback::ReadResultFrame(station.result_client.Get()), kFrame);
    ASSERT_EQ(::kill(station.process.Pid(), SIGTERM), 0);
    EXPECT_EQ(station.process.Wait(1s), 0) << station.process.Stderr();
    char byte = 0;
    while (::read(station.result_client.Get(), &byte, 1) > 0) { // frames already on the way, then the end
    }
    EXPECT_EQ(::read(station.spectrum_client.Get(), &byte, 1), 0) << "spectrum connection closed";
  }
  {
    const int json_port = loopback::FreePort();
    TStationProcess waiting(
        {kSettings, std::to_string(json_port), std::to_string(loopback::FreePort()), ClosedArrayEndpoint()});
    waiting.StdoutUntil("Server listening..\n"); // waits for its result client
    ASSERT_EQ(::kill(waiting.Pid(), SIGINT), 0);
    EXPECT_EQ(waiting.Wait(1s), 0) << waiting.Stderr();
    EXPECT_LT(loopback::Connect(json_port).Get(), 0) << "the result server is gone";
  }
}

// --check reads the settings as the array road does, lists every problem on its own line and opens no socket.
TEST(OrmelinStation, CheckReportsTheSettingsAndEveryProblemWithoutStarting) {
  {
    TStationProcess ok({"--check", kSettings});
    EXPECT_EQ(ok.Wait(), 0) << ok.Stdout() << ok.Stderr();
    EXPECT_NE(ok.Stdout().find("train_path = " + kSettings + "train.json\n"), std::string::npos) << ok.Stdout();
    EXPECT_NE(ok.Stdout().find("\nsettings OK\n"), std::string::npos) << ok.Stdout();
    EXPECT_EQ(ok.Stdout().find("Socket"), std::string::npos) << "no server is opened";
  }
  {
    const std::string dir = ::testing::TempDir() + "ormelin_check_" + std::to_string(::getpid()) + "/";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    { std::ofstream(dir + "detect.json") << R"({"NFFT": 1000,)"; } // cut short
    TStationProcess bad({"--check", dir});
    EXPECT_EQ(bad.Wait(), 1);
    const std::string &out = bad.Stdout();
    EXPECT_NE(out.find("problem: " + dir + "detect.json: not valid JSON"), std::string::npos) << out;
    EXPECT_NE(out.find("problem: " + dir + "dir_def.json: cannot be opened"), std::string::npos) << out;
    EXPECT_NE(out.find("settings NOT usable"), std::string::npos) << out;
    std::remove((dir + "detect.json").c_str());
    ::rmdir(dir.c_str());
  }
}

// Under systemd (Type=notify, WatchdogSec=): READY=1 once the result server listens, WATCHDOG=1 while it waits for
// its client (never a hang), STOPPING=1 on SIGTERM. The notify socket here is the test's own.
TEST(OrmelinStation, TellsTheServiceManagerItIsReadyFeedsTheWatchdogAndStops) {
  const std::string path = ::testing::TempDir() + "ormelin_notify_" + std::to_string(::getpid());
  ::unlink(path.c_str());
  const TFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(sock.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);

  const int json_port = loopback::FreePort();
  TStationProcess station(
      {kSettings, std::to_string(json_port), std::to_string(loopback::FreePort()), ClosedArrayEndpoint()},
      {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=400000"});
  std::string said;
  const auto end = Clock::now() + 5s;
  const auto count = [&](const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = said.find(what); at != std::string::npos; at = said.find(what, at + 1)) {
      ++n;
    }
    return n;
  };
  while (Clock::now() < end && (count("READY=1") == 0 || count("WATCHDOG=1") < 3)) {
    pollfd pfd{sock.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, 100) > 0) {
      char buf[256];
      const ssize_t n = ::recv(sock.Get(), buf, sizeof buf, 0);
      if (n > 0) {
        said.append(buf, static_cast<std::size_t>(n)).push_back('\n');
      }
    }
  }
  EXPECT_EQ(count("READY=1"), 1U) << said;
  EXPECT_GE(count("WATCHDOG=1"), 3U) << "fed while waiting for the result client: " << said;
  EXPECT_NE(station.StdoutUntil("Server listening..\n").find("Server listening.."), std::string::npos);
  ASSERT_EQ(::kill(station.Pid(), SIGTERM), 0);
  EXPECT_EQ(station.Wait(1s), 0) << station.Stderr();
  for (pollfd pfd{sock.Get(), POLLIN, 0}; ::poll(&pfd, 1, 200) > 0;) {
    char buf[256];
    const ssize_t n = ::recv(sock.Get(), buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    said.append(buf, static_cast<std::size_t>(n)).push_back('\n');
  }
  EXPECT_EQ(count("STOPPING=1"), 1U) << said;
  ::unlink(path.c_str());
}

TEST(OrmelinStation, UsageErrorExits2AndVersionExits0) {
  {
    TStationProcess p({"dir/", "1"});
    EXPECT_EQ(p.Wait(), 2);
    EXPECT_EQ(p.Stdout(), "");
    EXPECT_EQ(p.Stderr().rfind("ormelin_station: ", 0), 0U) << p.Stderr();
    EXPECT_EQ(p.Stderr().find('\n'), p.Stderr().size() - 1) << "one line: " << p.Stderr();
  }
  {
    TStationProcess p({"--version"});
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.Stdout().rfind("ormelin_station ", 0), 0U) << p.Stdout();
  }
}

} // namespace

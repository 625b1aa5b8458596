// The hub's MQTT side: the state throttle, the message texts, and TMqttPublisher against a real mosquitto broker
// on loopback that the test starts, kills and restarts; what arrived is read back with mosquitto_sub.

#include "tools/hub/mqtt_publisher.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#ifndef ORMELIN_MOSQUITTO_PATH
#define ORMELIN_MOSQUITTO_PATH "/usr/sbin/mosquitto"
#endif
#ifndef ORMELIN_MOSQUITTO_SUB_PATH
#define ORMELIN_MOSQUITTO_SUB_PATH "/usr/bin/mosquitto_sub"
#endif

extern char **environ;

namespace {

using namespace std::chrono_literals;
using namespace hub;
namespace fs = std::filesystem;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

rapidjson::Document Parse(const std::string &text) {
  rapidjson::Document d;
  d.Parse(text.c_str());
  EXPECT_FALSE(d.HasParseError()) << text;
  return d;
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 10s) {
  for (const auto until = std::chrono::steady_clock::now() + timeout; !done(); std::this_thread::sleep_for(20ms)) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
  }
  return true;
}

// Port 0: binds a free loopback port and returns it; otherwise 1 when a connection to the port succeeds.
int TcpProbe(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  const int rc = port == 0 ? ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len)
                           : ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  ::close(fd);
  return port == 0 ? ntohs(addr.sin_port) : rc == 0;
}

int Count(const std::string &text, const std::string &part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// A mosquitto broker on a free loopback port with its config, log and saved sessions in a temp dir; killed and
// waited for by the destructor.
class TBroker {
public:
  explicit TBroker(bool anonymous = true) : port_(TcpProbe(0)) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "broker.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous " << anonymous
                                        << "\npersistence true\npersistence_location " << dir_.string()
                                        << "/\n"
                                        // run as root it would switch users and could not save its sessions
                                        << "user " << ::getpwuid(::getuid())->pw_name << "\n";
  }
  ~TBroker() {
    Kill(SIGKILL);
    fs::remove_all(dir_);
  }
  void Start() {
    std::string conf = (dir_ / "broker.conf").string(), path = ORMELIN_MOSQUITTO_PATH, c = "-c";
    char *argv[] = {path.data(), c.data(), conf.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, Log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_TRUE(WaitUntil([&] { return TcpProbe(port_) == 1; }, 5s)) << "mosquitto did not come up";
  }
  void Kill(int sig) { // SIGTERM lets it save the persistent sessions; SIGKILL is a crash
    if (pid_ > 0 && ::kill(pid_, sig) == 0) {
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  int Port() const { return port_; }
  fs::path Log() const { return dir_ / "broker.log"; }
  // Runs mosquitto_sub to its end (`args` carry -C and -W, or -E); one line "RETAIN TOPIC PAYLOAD" per message.
  std::vector<std::string> Sub(const std::string &args) const {
    const std::string command = std::string(ORMELIN_MOSQUITTO_SUB_PATH) + " -h 127.0.0.1 -p " + std::to_string(port_) +
                                " -F '%r %t %p' " + args + " 2>/dev/null";
    FILE *out = ::popen(command.c_str(), "r");
    std::vector<std::string> lines;
    for (char line[4096]; out != nullptr && std::fgets(line, sizeof line, out) != nullptr;) {
      lines.emplace_back(line, std::strcspn(line, "\n"));
    }
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
      ::pclose(out);
    }
    return lines;
  }
  int RetainedAlert(const std::string &id) const { // -100: no retained state
    const std::vector<std::string> state = Sub("-t ormelin/" + id + "/state --retained-only -C 1 -W 1");
    return state.size() == 1 ? Parse(state[0].substr(state[0].find(' ', 2) + 1))["alert"].GetInt() : -100;
  }

private:
  static inline int count_ = 0;
  const fs::path dir_ =
      fs::temp_directory_path() / ("ormelin_mqtt_" + std::to_string(::getpid()) + "_" + std::to_string(++count_));
  const int port_;
  pid_t pid_ = -1;
};

// mosquitto_sub arguments for a persistent session on the event topic, which keeps events while it is away.
std::string Probe(const std::string &id) { return "-c -i probe -q 1 -t ormelin/" + id + "/event "; }
std::string Payload(const std::string &line) { return line.substr(line.find(' ', 2) + 1); }

TMqttState State(int alert) {
  TMqttState s;
  s.alert = alert;
  return s;
}

// A started publisher whose report lines (from its network thread) are collected.
struct TTestPublisher {
  explicit TTestPublisher(int port, const std::string &id = "st")
      : pub("127.0.0.1", port, id, [this](const std::string &line) {
          const std::lock_guard lock(mutex);
          reports += line + "\n";
        }) {
    std::string error;
    EXPECT_TRUE(pub.Start(error)) << error;
  }
  int Reported(const std::string &part) {
    const std::lock_guard lock(mutex);
    return Count(reports, part);
  }
  std::mutex mutex;
  std::string reports;
  TMqttPublisher pub; // last: stopped before the rest goes
};

TEST(TStateThrottle, FirstCallAndLevelChangesGoAtOnceOtherwiseOncePerInterval) {
  TStateThrottle throttle(1000ms);
  const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
  EXPECT_TRUE(throttle.ShouldPublish(0, t0)); // first, though 0 is also the initial level
  EXPECT_FALSE(throttle.ShouldPublish(0, t0 + 999ms));
  EXPECT_TRUE(throttle.ShouldPublish(0, t0 + 1000ms));
  EXPECT_TRUE(throttle.ShouldPublish(2, t0 + 1001ms));
  EXPECT_FALSE(throttle.ShouldPublish(2, t0 + 1500ms)); // the interval counts from the change
  EXPECT_TRUE(throttle.ShouldPublish(-1, t0 + 1501ms));
}

TEST(MqttJson, NamesEveryLevelAndWritesWhatIsNotKnownAsNull) {
  const char *names[] = {"Unknown",        "Autocalibration", "No_Array", "NO_Drone",
                         "Probably_Drone", "Detected_Drone",  "Unknown"};
  for (int alert = -3; alert <= 3; ++alert) {
    EXPECT_STREQ(Parse(MqttStateJson(State(alert)))["alert_name"].GetString(), names[alert + 3]) << alert;
  }
  TMqttState s{2, std::numeric_limits<double>::infinity(), {0.5, kNaN}, kNaN, SysClock::time_point{} + 1500ms};
  rapidjson::Document d = Parse(MqttStateJson(s));
  EXPECT_TRUE(d["azimuth"].IsNull() && d["brd"].IsNull() && d["dots"][1].IsNull());
  EXPECT_EQ(d["dots"][0].GetDouble(), 0.5);
  EXPECT_STREQ(d["t"].GetString(), "1970-01-01T00:00:01.500Z");

  TDetectionEvent e{42, SysClock::time_point{} + 2s, {}, false, 2, 0.25, 10.5, kNaN, kNaN};
  d = Parse(MqttEventJson(e, true));
  EXPECT_STREQ(d["state"].GetString(), "open");
  EXPECT_EQ(d["id"].GetInt64(), 42);
  EXPECT_EQ(d["azimuth_start"].GetDouble(), 10.5);
  EXPECT_TRUE(d["end"].IsNull() && d["azimuth_median"].IsNull() && d["azimuth_end"].IsNull());
  e.closed = true;
  e.end = e.start + 3s;
  d = Parse(MqttEventJson(e, false));
  EXPECT_STREQ(d["state"].GetString(), "closed");
  EXPECT_STREQ(d["end"].GetString(), "1970-01-01T00:00:05.000Z");
}

TEST(TMqttPublisher, SettingsThatCannotWorkFailStart) {
  EXPECT_EQ(MqttTopicId("hall 1/#+.\xC3\xA9-_x"), "hall_1______-_x");
  EXPECT_EQ(MqttTopicId(std::string(100, 'a')).size(), 64u);
  for (const auto &[host, port, id] : {std::tuple{"", 1883, "st"},
                                       {"127.0.0.1", 0, "st"},
                                       {"127.0.0.1", 65536, "st"},
                                       {"127.0.0.1", 1883, ""},
                                       {"no-such-host.invalid", 1883, "st"}}) {
    TMqttPublisher pub(host, port, id, nullptr);
    std::string error;
    EXPECT_FALSE(pub.Start(error) || error.empty()) << host << ":" << port << " " << id;
  }
}

TEST(TMqttPublisher, PublishesRetainedStateEventsDiscoveryAndAvailability) {
  TBroker broker;
  broker.Start();
  TTestPublisher t(broker.Port(), "hall 1/#");
  ASSERT_TRUE(WaitUntil([&] { return t.pub.Connected(); }));
  broker.Sub(Probe("hall_1__") + "-E");
  TMqttState s = State(2);
  s.azimuthDeg = 77.0;
  t.pub.PublishState(s);
  TDetectionEvent e;
  e.id = 7;
  t.pub.PublishEvent(e, true);

  // The event went after the state on the same link: once it is in, so is the state.
  const std::vector<std::string> event = broker.Sub(Probe("hall_1__") + "-C 1 -W 5");
  ASSERT_EQ(event.size(), 1u);
  EXPECT_EQ(event[0].substr(0, 25), "0 ormelin/hall_1__/event ");
  EXPECT_EQ(Parse(Payload(event[0]))["id"].GetInt(), 7);

  std::map<std::string, std::string> retained;
  for (const std::string &line : broker.Sub("-t 'ormelin/#' -t 'homeassistant/#' -C 4 -W 5")) {
    EXPECT_EQ(line[0], '1') << "not retained: " << line;
    retained[line.substr(2, line.find(' ', 2) - 2)] = Payload(line);
  }
  EXPECT_EQ(retained["ormelin/hall_1__/availability"], "online");
  EXPECT_EQ(Parse(retained["ormelin/hall_1__/state"])["azimuth"].GetDouble(), 77.0);
  for (const char *topic : {"homeassistant/binary_sensor/ormelin_hall_1__/drone/config",
                            "homeassistant/sensor/ormelin_hall_1__/azimuth/config"}) {
    const rapidjson::Document d = Parse(retained[topic]);
    ASSERT_TRUE(d.IsObject()) << topic;
    EXPECT_STREQ(d["state_topic"].GetString(), "ormelin/hall_1__/state");
    EXPECT_STREQ(d["availability_topic"].GetString(), "ormelin/hall_1__/availability");
    EXPECT_STREQ(d["device"]["identifiers"][0].GetString(), "ormelin_hall_1__");
  }

  t.pub.Stop();
  EXPECT_EQ(broker.Sub("-t ormelin/hall_1__/availability -C 1 -W 5"),
            std::vector<std::string>{"1 ormelin/hall_1__/availability offline"});
}

// Down at Start, then up, then crashed and restarted: each time the publisher comes back by itself, keeps the
// latest state and only the latest events, and says each change once.
TEST(TMqttPublisher, RidesOutABrokerThatIsDownOrRestarts) {
  TBroker broker;
  broker.Start();
  broker.Sub(Probe("st") + "-E");
  broker.Kill(SIGTERM); // saves the probe's session for the restart

  TTestPublisher t(broker.Port());
  EXPECT_FALSE(t.pub.Connected());
  const int kEvents = TMqttPublisher::kMaxQueuedEvents + 50;
  for (int i = 1; i <= kEvents; ++i) {
    TDetectionEvent e;
    e.id = i;
    t.pub.PublishEvent(e, false);
  }
  t.pub.PublishState(State(0));
  t.pub.PublishState(State(1));
  broker.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.pub.Connected(); }));
  std::vector<std::int64_t> ids, expected;
  for (const std::string &line : broker.Sub(Probe("st") + "-C 100 -W 10")) {
    ids.push_back(Parse(Payload(line))["id"].GetInt64());
  }
  for (int i = kEvents - static_cast<int>(TMqttPublisher::kMaxQueuedEvents) + 1; i <= kEvents; ++i) {
    expected.push_back(i);
  }
  EXPECT_EQ(ids, expected);
  EXPECT_TRUE(WaitUntil([&] { return broker.RetainedAlert("st") == 1; }, 5s));

  broker.Kill(SIGKILL); // nothing saved since the first stop, so no retained state after the restart
  ASSERT_TRUE(WaitUntil([&] { return !t.pub.Connected(); }));
  broker.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.pub.Connected() && t.pub.Reconnects() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return broker.RetainedAlert("st") == 1; }, 5s));
  t.pub.PublishState(State(2));
  EXPECT_TRUE(WaitUntil([&] { return broker.RetainedAlert("st") == 2; }, 5s));
  EXPECT_EQ(t.Reported("not reachable"), 1) << t.reports;
  EXPECT_EQ(t.Reported(": 50 events"), 1);
  EXPECT_EQ(t.Reported(" lost: "), 1);
  EXPECT_EQ(t.Reported("connected"), 2);
}

TEST(TMqttPublisher, RefusalIsReportedOnceAcrossRetries) {
  TBroker broker(false);
  broker.Start();
  TTestPublisher t(broker.Port());
  const auto log = [&] { return (std::stringstream() << std::ifstream(broker.Log()).rdbuf()).str(); };
  ASSERT_TRUE(WaitUntil([&] { return Count(log(), "not authorised") >= 2; }, 8s)) << log();
  EXPECT_FALSE(t.pub.Connected());
  EXPECT_EQ(t.Reported("refused"), 1) << t.reports;
  EXPECT_EQ(t.Reported("connected"), 0);
}

} // namespace

// The hub end to end: the virtual array plays a drone at a known azimuth, the station listens to it, the hub
// follows the station, a real MQTT broker (mosquitto) and a real browser (headless Chromium) watch the hub.
// One scene in order: detection and azimuth on /api/status, the live stream, the page as rendered, the event
// closing once the array goes away, MQTT state and events, the station restarted underneath, and the event
// still there after the hub itself restarts.

#include "test_process_support.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/document.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using namespace process_test;
namespace fs = std::filesystem;

const std::string kBin = ORMELIN_BINARY_DIR;
const std::string kSettings = std::string(ORMELIN_SOURCE_DIR) + "/settings/";
const std::string kBrowserCheck = std::string(ORMELIN_SOURCE_DIR) + "/scripts/hub_browser_check";
constexpr double kDroneAzimuthDeg = 120.0;

// A string member, or "" when it is missing or not a string.
std::string Text(const rapidjson::Value &v, const char *key) {
  return v.IsObject() && v.HasMember(key) && v[key].IsString() ? v[key].GetString() : "";
}

double AngleGap(double a, double b) {
  const double d = std::fmod(std::fabs(a - b), 360.0);
  return d > 180.0 ? 360.0 - d : d;
}

class THubEndToEnd : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(StationPortsFree()) << "UDP port 33712 is taken: another station is running";
    dir_ = fs::temp_directory_path() / ("ormelin_hub_e2e_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_TRUE(rtsp_ > 0 && json_ > 0 && spectr_ > 0 && http_ > 0 && mqtt_ > 0);
  }
  void TearDown() override {
    hub_.reset();
    station_.reset();
    array_.reset();
    sub_.reset();
    broker_.reset();
    if (!HasFailure()) {
      fs::remove_all(dir_);
    } else {
      std::fprintf(stderr, "logs kept in %s\n", dir_.c_str());
    }
  }
  std::string Path(const std::string &name) const { return (dir_ / name).string(); }

  void StartBroker() {
    std::ofstream(Path("mosquitto.conf")) << "listener " << mqtt_ << " 127.0.0.1\nallow_anonymous true\n"
                                          << "persistence false\n";
    broker_ = std::make_unique<TChild>("/usr/sbin/mosquitto", std::vector<std::string>{"-c", Path("mosquitto.conf")},
                                       Path("mosquitto.log"));
    ASSERT_GE(ConnectWithin(mqtt_, 10s).Get(), 0) << FileText(Path("mosquitto.log"));
    sub_ = std::make_unique<TChild>("/usr/bin/mosquitto_sub",
                                    std::vector<std::string>{"-h", "127.0.0.1", "-p", std::to_string(mqtt_), "-t",
                                                             "ormelin/e2e/#", "-t", "homeassistant/#", "-v"},
                                    Path("mqtt.log"));
  }
  void StartArray(const std::string &log) {
    array_ = std::make_unique<TChild>(kBin + "/tools/array_sim/ormelin_array_sim",
                                      std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(rtsp_),
                                                               "--settings", kSettings, "--source", "drone",
                                                               "--azimuth", "120"},
                                      Path(log));
    ASSERT_TRUE(WaitForText(Path(log), "virtual array on", 10s)) << FileText(Path(log));
  }
  void StartStation(const std::string &log) {
    station_ =
        std::make_unique<TChild>(kBin + "/ormelin_station",
                                 std::vector<std::string>{kSettings, std::to_string(json_), std::to_string(spectr_),
                                                          "127.0.0.1:" + std::to_string(rtsp_)},
                                 Path(log));
  }
  void StartHub(const std::string &log) {
    hub_ = std::make_unique<TChild>(
        kBin + "/tools/hub/ormelin_hub",
        std::vector<std::string>{"--station", "127.0.0.1", "--json-port", std::to_string(json_), "--spectr-port",
                                 std::to_string(spectr_), "--settings", kSettings, "--http",
                                 "127.0.0.1:" + std::to_string(http_), "--mqtt", "127.0.0.1:" + std::to_string(mqtt_),
                                 "--id", "e2e", "--db", Path("events.db")},
        Path(log));
    ASSERT_TRUE(WaitForText(Path(log), "dashboard at", 10s)) << FileText(Path(log));
  }
  std::string Logs() const {
    std::string all;
    for (const char *name : {"hub.log", "station.log", "array.log"}) {
      all += std::string("--- ") + name + "\n" + FileText(Path(name)).substr(0, 4000);
    }
    return all;
  }
  // Fetches `path` until `want` accepts the parsed JSON or `patience` runs out.
  bool WaitForJson(const std::string &path, const std::function<bool(const rapidjson::Document &)> &want,
                   std::chrono::seconds patience, std::string &last) {
    httplib::Client c("127.0.0.1", http_);
    c.set_read_timeout(5, 0);
    const auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
      if (auto r = c.Get(path); r && r->status == 200) {
        last = r->body;
        rapidjson::Document d;
        d.Parse(last.c_str());
        if (!d.HasParseError() && want(d)) {
          return true;
        }
      }
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }

  fs::path dir_;
  const int rtsp_ = FreePort();
  const int json_ = FreePort();
  const int spectr_ = FreePort();
  const int http_ = FreePort();
  const int mqtt_ = FreePort();
  std::unique_ptr<TChild> broker_, sub_, array_, station_, hub_;
};

TEST_F(THubEndToEnd, FollowsDetectionStoresEventsPublishesAndSurvivesRestarts) {
  StartBroker();
  StartArray("array.log");
  StartHub("hub.log"); // before the station: the hub waits for it
  StartStation("station.log");
  std::string last;

  // Detection and direction as the station reports them.
  const bool detected = WaitForJson(
      "/api/status",
      [](const rapidjson::Document &d) {
        return Text(d, "station") == "connected" && Text(d, "alert_name") == "Detected_Drone" &&
               d["azimuth"].IsNumber() && AngleGap(d["azimuth"].GetDouble(), kDroneAzimuthDeg) <= 2.0;
      },
      40s, last);
  ASSERT_TRUE(detected) << last << "\n" << Logs();

  // The live stream carries results (with a time) and spectra.
  {
    httplib::Client c("127.0.0.1", http_);
    c.set_read_timeout(10, 0);
    std::string stream;
    c.Get("/events", [&](const char *data, std::size_t n) {
      stream.append(data, n);
      return stream.find("event: result") == std::string::npos || stream.find("event: spectrum") == std::string::npos;
    });
    EXPECT_NE(stream.find("event: result\ndata: {\"alert\":2,"), std::string::npos) << stream.substr(0, 2000);
    EXPECT_NE(stream.find("\"first_hz\":"), std::string::npos);
  }

  // The page as a phone's browser renders it: alert name, azimuth and the open event.
  {
    const std::string command = kBrowserCheck + " http://127.0.0.1:" + std::to_string(http_) + "/ " +
                                Path("dashboard.png") + " --expect-alert Detected_Drone --expect-events 1 > " +
                                Path("browser.log") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << FileText(Path("browser.log"));
    EXPECT_TRUE(fs::exists(Path("dashboard.png")));
  }

  // The array goes away: the station sends its no-array message, and the event closes 5 s later.
  array_.reset();
  const bool closed = WaitForJson(
      "/api/events?since=2000-01-01T00:00:00Z",
      [](const rapidjson::Document &d) {
        return d["events"].Size() == 1 && d["events"][0u]["end"].IsString() &&
               d["events"][0u]["peak_level"].GetInt() == 2;
      },
      30s, last);
  ASSERT_TRUE(closed) << last << "\n" << Logs();
  const std::int64_t eventId = [&] {
    rapidjson::Document d;
    d.Parse(last.c_str());
    return d["events"][0u]["id"].GetInt64();
  }();

  // MQTT: retained state, the event opening and closing, discovery for Home Assistant.
  EXPECT_TRUE(WaitForText(Path("mqtt.log"), "\"state\":\"closed\"", 10s)) << FileText(Path("mqtt.log"));
  const std::string mqtt = FileText(Path("mqtt.log"));
  EXPECT_NE(mqtt.find("ormelin/e2e/state {\"alert\":2"), std::string::npos) << mqtt.substr(0, 3000);
  EXPECT_NE(mqtt.find("ormelin/e2e/event {\"state\":\"open\""), std::string::npos);
  EXPECT_NE(mqtt.find("homeassistant/binary_sensor/ormelin_e2e/drone/config"), std::string::npos);
  EXPECT_NE(mqtt.find("homeassistant/sensor/ormelin_e2e/azimuth/config"), std::string::npos);

  // The station restarted underneath (with its array back): the hub follows it by itself.
  station_.reset();
  ASSERT_TRUE(WaitForJson(
      "/api/status", [](const rapidjson::Document &d) { return Text(d, "station") == "disconnected"; }, 10s, last))
      << last;
  StartArray("array.log");
  StartStation("station.log");
  ASSERT_TRUE(WaitForJson(
      "/api/status",
      [](const rapidjson::Document &d) {
        return Text(d, "station") == "connected" && Text(d, "mode") == "hybrid" && d["last_message_age_s"].IsNumber() &&
               d["last_message_age_s"].GetDouble() < 2.0;
      },
      40s, last))
      << last << "\n"
      << Logs();
  {
    httplib::Client c("127.0.0.1", http_);
    auto r = c.Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("ormelin_hub_reconnects_total 1\n"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("ormelin_hub_mqtt_connected 1\n"), std::string::npos);
  }

  // The hub restarts: the stored event is still there.
  hub_.reset();
  StartHub("hub2.log");
  ASSERT_TRUE(WaitForJson(
      "/api/events?since=2000-01-01T00:00:00Z",
      [&](const rapidjson::Document &d) {
        return d["events"].Size() >= 1 && d["events"][0u]["id"].GetInt64() == eventId;
      },
      10s, last))
      << last;
}

} // namespace

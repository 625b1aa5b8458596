// The hub's web side in-process: the texts made from its state, the live-stream fan-out, the command line, and
// the HTTP server on a loopback port (token, read-only, status, events, metrics, the live stream).

#include "tools/hub/event_store.h"
#include "tools/hub/http_server.h"
#include "tools/hub/hub_state.h"
#include "tools/hub/options.h"
#include "tools/hub/sse_broadcast.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

rapidjson::Document Json(const std::string &text) {
  rapidjson::Document d;
  d.Parse(text.c_str());
  EXPECT_FALSE(d.HasParseError()) << text;
  return d;
}

hub::TStatusSnapshot Detected() {
  hub::TStatusSnapshot s;
  s.id = "field-1";
  s.resultUp = true;
  s.haveResult = true;
  s.alert = 2;
  s.brd = 0.0029;
  s.dots = {0.01, std::nan(""), 0.0, 0.005};
  s.azimuthDeg = 121.5;
  s.messages = 42;
  s.connects = 3;
  return s;
}

TEST(HubTexts, StatusCarriesStateAndNullsForWhatIsUnknown) {
  const auto now = hub::SteadyClock::now();
  hub::TStatusSnapshot s = Detected();
  s.lastMessage = now - 1500ms;
  auto d = Json(hub::StatusJson(s, now, hub::SysClock::now()));
  EXPECT_STREQ(d["station"].GetString(), "connected");
  EXPECT_STREQ(d["alert_name"].GetString(), "Detected_Drone");
  EXPECT_EQ(d["alert"].GetInt(), 2);
  EXPECT_DOUBLE_EQ(d["azimuth"].GetDouble(), 121.5);
  EXPECT_TRUE(d["dots"][1].IsNull()); // a score the station sent as null stays null
  EXPECT_NEAR(d["last_message_age_s"].GetDouble(), 1.5, 0.01);
  EXPECT_STREQ(d["mode"].GetString(), "hybrid");

  const hub::TStatusSnapshot none; // before the first message nothing is claimed
  d = Json(hub::StatusJson(none, now, hub::SysClock::now()));
  EXPECT_STREQ(d["station"].GetString(), "disconnected");
  EXPECT_TRUE(d["alert"].IsNull());
  EXPECT_TRUE(d["azimuth"].IsNull());
  EXPECT_TRUE(d["last_message_age_s"].IsNull());
  EXPECT_STREQ(d["mode"].GetString(), "unknown");

  EXPECT_EQ(hub::ModeName(true, -1), "no_array");
  EXPECT_EQ(hub::ModeName(true, -2), "autocalibration");
  EXPECT_EQ(hub::AlertName(7), "Unknown");
}

TEST(HubTexts, MetricsAreOneSampleEachInPrometheusFormat) {
  const auto now = hub::SteadyClock::now();
  hub::TStatusSnapshot s = Detected();
  s.lastMessage = now;
  const std::string text = hub::MetricsText(s, now);
  for (const char *line :
       {"ormelin_hub_messages_total 42\n", "ormelin_hub_alert_level 2\n", "ormelin_hub_station_connected 1\n",
        "ormelin_hub_reconnects_total 2\n", "# TYPE ormelin_hub_detections_total counter\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("mqtt"), std::string::npos); // only with a broker configured
  const std::string before = hub::MetricsText(hub::TStatusSnapshot{}, now);
  EXPECT_NE(before.find("ormelin_hub_alert_level NaN\n"), std::string::npos);
}

TEST(HubTexts, LiveStreamPayloadsAreOneLineOfValidJson) {
  const auto t = hub::SysClock::time_point{} + std::chrono::hours(24 * 20000);
  auto d = Json(hub::ResultEventJson("{\"alert\":2,\"brd\":0.5,\"dots\":[1.0],\"dirs\":[10.0,45.0]}", t));
  EXPECT_EQ(d["alert"].GetInt(), 2);
  EXPECT_STREQ(d["t"].GetString(), hub::IsoUtc(t).c_str());
  // A station text written over several lines must not break the stream's data line.
  const std::string spread = hub::ResultEventJson("{\n  \"alert\": 0\n}\n", t);
  EXPECT_EQ(spread.find('\n'), std::string::npos);
  EXPECT_EQ(Json(spread)["alert"].GetInt(), 0);
  EXPECT_TRUE(hub::ResultEventJson("not an object", t).empty());

  d = Json(hub::SpectrumEventJson({-61.234f, -INFINITY, NAN}, 4000.0, 15.625, t));
  EXPECT_NEAR(d["levels"][0u].GetDouble(), -61.23, 1e-9);
  EXPECT_TRUE(d["levels"][1].IsNull());
  EXPECT_TRUE(d["levels"][2].IsNull());
  EXPECT_DOUBLE_EQ(d["bin_hz"].GetDouble(), 15.625);
  EXPECT_EQ(hub::SseMessage("status", "{}"), "event: status\ndata: {}\n\n");
}

TEST(TSseBroadcast, SlowReaderSkipsAheadAndStopWakesEveryone) {
  hub::TSseBroadcast b(4);
  std::uint64_t pos = b.Tail();
  for (int i = 0; i < 10; ++i) {
    b.Publish(std::to_string(i)); // never waits for the reader
  }
  std::string out;
  std::uint64_t skipped = 0;
  ASSERT_EQ(b.Next(pos, out, 0ms, skipped), hub::TSseBroadcast::ENext::Message);
  EXPECT_EQ(out, "6"); // the oldest still held
  EXPECT_EQ(skipped, 6U);
  for (const char *want : {"7", "8", "9"}) {
    ASSERT_EQ(b.Next(pos, out, 0ms, skipped), hub::TSseBroadcast::ENext::Message);
    EXPECT_EQ(out, want);
  }
  EXPECT_EQ(b.Next(pos, out, 10ms, skipped), hub::TSseBroadcast::ENext::Timeout);

  std::atomic<int> stopped{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      std::uint64_t p = b.Tail();
      std::string o;
      std::uint64_t s = 0;
      if (b.Next(p, o, 60s, s) == hub::TSseBroadcast::ENext::Stopped) {
        stopped.fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(20ms);
  b.Stop();
  for (auto &r : readers) {
    r.join();
  }
  EXPECT_EQ(stopped.load(), 3);
}

TEST(HubOptions, ParsesDefaultsAndRefusesBadValues) {
  hub::THubOptions o;
  std::string error;
  ASSERT_EQ(hub::ParseHubOptions({"ormelin_hub", "--station", "10.0.0.5", "--http=0.0.0.0:9000", "--mqtt",
                                  "broker.lan:1884", "--keep-days", "7"},
                                 o, error),
            hub::EHubParse::Run)
      << error;
  EXPECT_EQ(o.station, "10.0.0.5");
  EXPECT_EQ(o.httpHost, "0.0.0.0");
  EXPECT_EQ(o.httpPort, 9000);
  EXPECT_EQ(o.mqttHost, "broker.lan");
  EXPECT_EQ(o.mqttPort, 1884);
  EXPECT_EQ(o.keepDays, 7);
  EXPECT_EQ(o.jsonPort, 33377);

  for (const std::vector<std::string> &bad : {std::vector<std::string>{"ormelin_hub"},
                                              {"ormelin_hub", "--station"},
                                              {"ormelin_hub", "--station", "h", "--http", "8080"},
                                              {"ormelin_hub", "--station", "h", "--http", "h:70000"},
                                              {"ormelin_hub", "--station", "h", "--keep-days", "0"},
                                              {"ormelin_hub", "--station", "h", "--bogus"},
                                              {"ormelin_hub", "--station", "h", "--mqtt", "a:b:1"}}) {
    error.clear();
    EXPECT_EQ(hub::ParseHubOptions(bad, o, error), hub::EHubParse::Error) << bad.back();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
  std::string host;
  int port = 0;
  EXPECT_TRUE(hub::SplitHostPort("[::1]:8080", host, port));
  EXPECT_EQ(host, "::1");
  std::string token;
  EXPECT_TRUE(hub::TokenFromFile("  s3cret \r\nsecond line", token));
  EXPECT_EQ(token, "s3cret");
  EXPECT_FALSE(hub::TokenFromFile("\n", token));
}

TEST(HubToken, AcceptsHeaderOrQueryAndNothingElse) {
  EXPECT_TRUE(hub::TokenMatches("", "", ""));
  EXPECT_TRUE(hub::TokenMatches("abc", "Bearer abc", ""));
  EXPECT_TRUE(hub::TokenMatches("abc", "", "abc"));
  EXPECT_FALSE(hub::TokenMatches("abc", "Bearer abcd", ""));
  EXPECT_FALSE(hub::TokenMatches("abc", "Bearer ab", ""));
  EXPECT_FALSE(hub::TokenMatches("abc", "abc", ""));
  EXPECT_FALSE(hub::TokenMatches("abc", "Bearer ", ""));
  EXPECT_FALSE(hub::TokenMatches("abc", "", ""));
}

// A hub web server on a free loopback port over a scratch database and a tiny dashboard.
class THubHttpTest : public testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ormelin_hub_web_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "web");
    std::ofstream(dir_ / "web" / "index.html") << "<!doctype html><title>hub</title>";
    std::ofstream(dir_ / "web" / "hub.js") << "console.log(1);";
    std::string error;
    store_ = hub::TEventStore::Open((dir_ / "events.db").string(), error);
    ASSERT_TRUE(store_) << error;
  }
  void TearDown() override {
    if (server_) {
      broadcast_.Stop();
      server_->Stop();
    }
    store_.reset();
    fs::remove_all(dir_);
  }
  void Start(const std::string &token, int maxLive = 32) {
    hub::THttpConfig c;
    c.host = "127.0.0.1";
    c.port = 0;
    c.token = token;
    c.maxLiveClients = maxLive;
    std::string error;
    ASSERT_TRUE(hub::LoadWebFiles((dir_ / "web").string(), c.files, error)) << error;
    server_ = std::make_unique<hub::THubHttp>(std::move(c), state_, broadcast_, *store_);
    ASSERT_TRUE(server_->Start(error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    client_->set_read_timeout(5, 0);
  }

  fs::path dir_;
  std::unique_ptr<hub::TEventStore> store_;
  hub::THubState state_{"test"};
  hub::TSseBroadcast broadcast_;
  std::unique_ptr<hub::THubHttp> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(THubHttpTest, TokenGuardsEveryPageAndNothingWrites) {
  Start("s3cret");
  for (const char *path : {"/", "/events", "/api/status", "/api/events", "/metrics", "/?token=wrong"}) {
    auto r = client_->Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 401) << path;
  }
  // The page's script carries no data and is fetched without the page's query.
  auto r = client_->Get("/hub.js");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  r = client_->Get("/api/status", {{"Authorization", "Bearer s3cret"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  r = client_->Get("/?token=s3cret");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_NE(r->body.find("<title>hub</title>"), std::string::npos);
  r = client_->Post("/api/status?token=s3cret", "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 405);
}

TEST_F(THubHttpTest, ApiAnswersStatusEventsAndMetrics) {
  Start("");
  state_.Update([](hub::TStatusSnapshot &s) {
    s = Detected();
    s.lastMessage = hub::SteadyClock::now();
  });
  auto r = client_->Get("/api/status");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
  EXPECT_STREQ(Json(r->body)["alert_name"].GetString(), "Detected_Drone");

  hub::TDetectionEvent e;
  e.start = hub::SysClock::now() - 10s;
  e.end = hub::SysClock::now() - 2s;
  e.closed = true;
  e.peakLevel = 2;
  e.peakScore = 0.02;
  std::string error;
  ASSERT_TRUE(store_->Save(e, error)) << error;
  r = client_->Get("/api/events?since=" + hub::IsoUtc(hub::SysClock::now() - 60s));
  ASSERT_TRUE(r);
  auto d = Json(r->body);
  ASSERT_EQ(d["events"].Size(), 1U);
  EXPECT_EQ(d["events"][0u]["id"].GetInt64(), e.id);
  r = client_->Get("/api/events?since=" + hub::IsoUtc(hub::SysClock::now()));
  ASSERT_TRUE(r);
  EXPECT_EQ(Json(r->body)["events"].Size(), 0U);
  for (const char *bad : {"/api/events?since=yesterday", "/api/events?limit=0", "/api/events?limit=x"}) {
    r = client_->Get(bad);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << bad;
    EXPECT_TRUE(Json(r->body).HasMember("error"));
  }
  r = client_->Get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("ormelin_hub_alert_level 2\n"), std::string::npos);
  r = client_->Get("/no/such/page");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

TEST_F(THubHttpTest, LiveStreamGreetsThenDeliversPublishedMessages) {
  Start("", 1);
  std::string received;
  std::atomic<bool> done{false};
  std::thread viewer([&] {
    httplib::Client c("127.0.0.1", server_->Port());
    c.set_read_timeout(10, 0);
    c.Get("/events", [&](const char *data, std::size_t n) {
      received.append(data, n);
      return received.find("event: result") == std::string::npos; // stop reading once the result came
    });
    done = true;
  });
  // Publish until the viewer has it: the stream starts with the publication position at connect time.
  for (int i = 0; i < 200 && !done; ++i) {
    broadcast_.Publish(hub::SseMessage("result", "{\"alert\":1}"));
    std::this_thread::sleep_for(20ms);
  }
  viewer.join();
  EXPECT_EQ(received.rfind("retry: 2000\n\nevent: status\ndata: {", 0), 0U) << received;
  EXPECT_NE(received.find("event: result\ndata: {\"alert\":1}\n\n"), std::string::npos) << received;
}

TEST_F(THubHttpTest, RefusesViewersBeyondTheLimit) {
  Start("", 1);
  std::atomic<bool> stop{false};
  std::thread first([&] {
    httplib::Client c("127.0.0.1", server_->Port());
    c.set_read_timeout(10, 0);
    c.Get("/events", [&](const char *, std::size_t) { return !stop.load(); });
  });
  // Wait until the first stream is counted, then a second one is turned away.
  for (int i = 0; i < 200 && state_.Snapshot().liveClients == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(state_.Snapshot().liveClients, 1);
  auto r = client_->Get("/events");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  stop = true;
  broadcast_.Publish(hub::SseMessage("status", "{}")); // the first viewer reads it and hangs up
  first.join();
}

} // namespace

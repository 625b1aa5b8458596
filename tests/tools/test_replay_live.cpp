// Live runs of the station against the virtual array. Agreement of ormelin_replay with the station: the virtual array
// plays a drone and records what it sends, the station (a copy of the shipped settings) is fed by it over loopback, a
// client collects the station's result messages, and the replay of the recording, started at the station's first block,
// must give the same messages.
//
// Scores, alert and border must agree message by message. The direction carried by a live message depends on
// thread timing (the threads take blocks in batches, and the engine catches up on the direction before it sends a
// record), so a live message may carry an average completed somewhat after its record's last sample. What is required
// of directions: every live value is exactly one of the replay's direction averages, not older than the latest average
// completed two blocks before the record (the engine may lag a little), not from more than a second past the record,
// and the live values follow the replay's sequence in order.

#include "test_process_support.h"
#include "test_replay_support.h"

#include "detection/channel_detector.h"
#include "tools/replay/replayer.h"
#include "tools/replay/wav_blocks.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace {

using namespace replay_test;
using namespace process_test;

const std::string kArraySim = std::string(ORMELIN_BINARY_DIR) + "/tools/array_sim/ormelin_array_sim";
const std::string kStation = std::string(ORMELIN_BINARY_DIR) + "/ormelin_station";
constexpr double kSoundSeconds = 8.0;

// The station's result frames (two-byte little-endian length, then the JSON text), split off a byte stream.
class TFrameReader {
public:
  void Append(const char *data, std::size_t n) { buffer_.append(data, n); }
  bool Next(std::string &text) {
    if (buffer_.size() < 2) {
      return false;
    }
    const std::size_t len = static_cast<unsigned char>(buffer_[0]) | (static_cast<unsigned char>(buffer_[1]) << 8);
    if (buffer_.size() < 2 + len) {
      return false;
    }
    text = buffer_.substr(2, len);
    buffer_.erase(0, 2 + len);
    return true;
  }

private:
  std::string buffer_;
};

rapidjson::Document Parse(const std::string &line) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(line.c_str());
  return doc;
}

// The message text from "alert" up to, not including, "dirs": alert, border and scores as the station wrote them.
std::string ScoresPart(const std::string &text) {
  const auto a = text.find("\"alert\":");
  const auto d = text.find(",\"dirs\":");
  return (a == std::string::npos || d == std::string::npos) ? std::string() : text.substr(a, d - a);
}

// The first score of every channel (the first record) when the recording is replayed from block `offset`.
std::optional<std::array<double, 4>> FirstRecord(const replay::TReplaySettings &s, const std::string &wav,
                                                 std::int64_t offset) {
  replay::TWavBlockReader reader;
  std::string error;
  if (!reader.Open(wav, error) || !reader.SkipBlocks(offset, error)) {
    return std::nullopt;
  }
  std::vector<std::unique_ptr<detection::TChannelDetector>> chains;
  chains.reserve(4);
  for (int c = 0; c < 4; ++c) {
    chains.push_back(std::make_unique<detection::TChannelDetector>(s.Detect, s.Training, false));
  }
  std::array<double, 4> first{};
  std::array<bool, 4> have{};
  replay::TBlock block;
  while (reader.ReadBlock(block)) {
    for (std::size_t c = 0; c < 4; ++c) {
      for (const double x : block[c]) {
        double score = 0.0;
        if (!have[c] && chains[c]->PushSample(x, score)) {
          first[c] = score;
          have[c] = true;
        }
      }
    }
    if (have[0] && have[1] && have[2] && have[3]) {
      return first;
    }
  }
  return std::nullopt;
}

// The block at which the array began to send the channel that started last (from its log), or 0.
std::int64_t StartHint(const std::string &simLog) {
  std::int64_t hint = 0;
  std::istringstream lines(simLog);
  for (std::string line; std::getline(lines, line);) {
    const std::string marker = " from block ";
    const auto at = line.find(marker);
    if (line.find("playing to ") != std::string::npos && at != std::string::npos) {
      hint = std::max<std::int64_t>(hint, std::atoll(line.c_str() + at + marker.size()));
    }
  }
  return hint;
}

// Reads result frames into `live` (spectrum frames are read and dropped) until done() says so, the deadline
// passes or either connection closes. done() is asked after every wake-up.
void ReadResults(const TFd &results, const TFd &spectrum, Clock::time_point deadline, std::vector<std::string> &live,
                 const std::function<bool()> &done) {
  TFrameReader frames;
  char buffer[65536];
  while (Clock::now() < deadline && !done()) {
    pollfd fds[2] = {{results.Get(), POLLIN, 0}, {spectrum.Get(), POLLIN, 0}};
    if (::poll(fds, 2, 100) <= 0) {
      continue;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0 && ::recv(spectrum.Get(), buffer, sizeof buffer, 0) <= 0) {
      return;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      const ssize_t n = ::recv(results.Get(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        return;
      }
      frames.Append(buffer, static_cast<std::size_t>(n));
      for (std::string text; frames.Next(text);) {
        live.push_back(text);
      }
    }
  }
}

// True when this process can bind the station's first RTP port (so no other station holds it).

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

TEST(ReplayLiveAgreement, ReplayGivesTheStationsMessagesForTheSameSamples) {
  if (kUnderThreadSanitizer) {
    // Instrumented this heavily, the array and the station fall behind real time on a two-core machine and the
    // station loses datagrams, so its blocks are no longer a stretch of the recording. The replay itself has no
    // threads; the station's threads are checked by their own tests under ThreadSanitizer.
    GTEST_SKIP() << "the live station cannot keep up with a real-time array under ThreadSanitizer";
  }
  ASSERT_TRUE(StationPortsFree()) << "UDP port 33712 is taken: another station is running";
  TTempDir tmp("live");
  const std::string settingsDir = MakeSettings(tmp); // the array, the station and the replay read this copy
  const std::string wav = tmp.Path("rec.wav");
  const int rtspPort = FreePort();
  const int jsonPort = FreePort();
  const int spectrPort = FreePort();
  ASSERT_TRUE(rtspPort > 0 && jsonPort > 0 && spectrPort > 0);

  std::vector<std::string> live;
  std::string simLog;
  {
    TChild sim(kArraySim,
               {"--listen", "127.0.0.1:" + std::to_string(rtspPort), "--settings", settingsDir, "--source", "drone",
                "--azimuth", "120", "--seconds", std::to_string(kSoundSeconds), "--record", wav, "--speed", "1"},
               tmp.Path("sim.log"));
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(WaitForText(tmp.Path("sim.log"), "virtual array on", 10s)) << ReadText(tmp.Path("sim.log"));

    TChild station(
        kStation,
        {settingsDir, std::to_string(jsonPort), std::to_string(spectrPort), "127.0.0.1:" + std::to_string(rtspPort)},
        tmp.Path("station.log"));
    ASSERT_TRUE(station.Started());
    // The spectrum server opens only once the result client is connected; both must connect for the station
    // to start its engines. Spectrum frames are read and dropped.
    const TFd results = ConnectWithin(jsonPort, 15s);
    ASSERT_GE(results.Get(), 0) << ReadText(tmp.Path("station.log"));
    const TFd spectrum = ConnectWithin(spectrPort, 15s);
    ASSERT_GE(spectrum.Get(), 0) << ReadText(tmp.Path("station.log"));

    // Without the array the station sends its fixed test message until the array answers; nothing to compare then.
    ASSERT_TRUE(WaitForText(tmp.Path("station.log"), "Microphone connect try", 1s));
    ASSERT_EQ(ReadText(tmp.Path("station.log")).find("Microphone connect try FAIL"), std::string::npos)
        << "the station could not set up the virtual array (UDP ports 33712..33718 taken by another station?):\n"
        << ReadText(tmp.Path("station.log"));

    auto lastMessage = Clock::now();
    std::size_t seen = 0;
    // Until the array has finished and the station has said nothing for a while (its detector threads look for
    // new blocks every 200 ms).
    ReadResults(results, spectrum,
                Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSoundSeconds)) + 60s,
                live, [&] {
                  if (live.size() != seen) {
                    seen = live.size();
                    lastMessage = Clock::now();
                  }
                  // Once the array has ended the station soon says so with the no-array message: the end here.
                  const bool noArray = !live.empty() && live.back().find("\"alert\":-1,") != std::string::npos;
                  return sim.Poll() && (noArray || Clock::now() - lastMessage > 3s);
                });
    while (!live.empty() && live.back().find("\"alert\":-1,") != std::string::npos) {
      live.pop_back(); // the station's word that the array went away, not a result of its sound
    }
    ASSERT_EQ(sim.Poll(), std::optional<int>(0)) << ReadText(tmp.Path("sim.log"));
    simLog = ReadText(tmp.Path("sim.log"));
    EXPECT_FALSE(station.Poll()) << "the station ended early:\n" << ReadText(tmp.Path("station.log"));
  } // the station is stopped here
  ASSERT_GE(live.size(), 20U) << simLog;

  // The station's first block is the first one the array sent on all four channels once its sockets were
  // bound: find it as the offset whose first record is the first live message's (scores take few distinct
  // values, so all four are compared). The array's log says where its last channel began; look there first.
  replay::TReplaySettings settings;
  ASSERT_EQ(replay::LoadSettings(settingsDir, false, settings), "");
  const auto firstDoc = Parse(live[0]);
  std::array<double, 4> firstLive{};
  for (rapidjson::SizeType c = 0; c < 4; ++c) {
    firstLive[c] = firstDoc["dots"][c].GetDouble();
  }
  replay::TWavBlockReader probe;
  std::string error;
  ASSERT_TRUE(probe.Open(wav, error)) << error;
  const std::int64_t hint = StartHint(simLog);
  // The station binds each channel's socket right after that channel's dialogue, so its first whole block is at or
  // just after the block at which the array began to send the last channel.
  std::optional<std::int64_t> offset;
  for (std::int64_t n = std::max<std::int64_t>(0, hint - 10); !offset && n < std::min(hint + 150, probe.WholeBlocks());
       ++n) {
    if (FirstRecord(settings, wav, n) == firstLive) {
      offset = n;
    }
  }
  ASSERT_TRUE(offset.has_value()) << "no offset near block " << hint
                                  << " (array log) reproduces the first live message " << live[0]
                                  << "; did the station lose datagrams?";
  RecordProperty("first_live_block", std::to_string(*offset));

  const TRun r =
      RunProgram(tmp, kReplayProgram, {settingsDir, wav, "--trace", "--offset-blocks", std::to_string(*offset)});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> replayed;
  std::vector<std::int64_t> replayedAt;
  std::vector<std::pair<std::int64_t, double>> directions; // (sample, degrees) of every average, in order
  for (const std::string &line : Lines(r.out)) {
    const auto doc = Parse(line);
    if (doc.HasMember("direction")) {
      directions.emplace_back(doc["sample"].GetInt64(), doc["direction"].GetDouble());
    } else if (doc.HasMember("alert")) {
      replayed.push_back(line);
      replayedAt.push_back(doc["sample"].GetInt64());
    }
  }

  // Scores, alert level and border: identical, message by message, and as many messages.
  ASSERT_EQ(live.size(), replayed.size());
  for (std::size_t k = 0; k < live.size(); ++k) {
    ASSERT_EQ(ScoresPart(live[k]), ScoresPart(replayed[k])) << "message " << k;
  }

  // Directions: each live value is one of the replay's averages, in the replay's order, not older than the
  // latest average completed two blocks before the record (the engine may be a block or two behind when the
  // record arrives) and not from more than a second past the record.
  constexpr std::int64_t kEngineLagSamples = std::int64_t{2} * replay::kBlockSamples;
  const auto averageIndex = [&](double deg) -> std::int64_t {
    for (std::size_t j = 0; j < directions.size(); ++j) {
      if (directions[j].second == deg) {
        return static_cast<std::int64_t>(j);
      }
    }
    return -1;
  };
  const auto latestAtOrBefore = [&](std::int64_t sample) -> std::int64_t {
    std::int64_t j = -1;
    while (j + 1 < static_cast<std::int64_t>(directions.size()) &&
           directions[static_cast<std::size_t>(j + 1)].first <= sample) {
      ++j;
    }
    return j;
  };
  std::int64_t previous = -1;
  int exact = 0;
  for (std::size_t k = 0; k < live.size(); ++k) {
    const double liveDeg = Parse(live[k])["dirs"][0].GetDouble();
    exact += liveDeg == Parse(replayed[k])["dirs"][0].GetDouble() ? 1 : 0;
    const std::int64_t oldest = latestAtOrBefore(replayedAt[k] - kEngineLagSamples);
    const std::int64_t j = averageIndex(liveDeg);
    if (j < 0 && oldest < 0 && liveDeg == 0.0) {
      continue; // no average yet: the record's initial 0.0
    }
    ASSERT_GE(j, 0) << "message " << k << ": live direction " << liveDeg << " is none of the replay's averages";
    EXPECT_GE(j, previous) << "message " << k << ": live directions out of the replay's order";
    EXPECT_GE(j, oldest) << "message " << k << ": live direction older than the record allows";
    EXPECT_LE(directions[static_cast<std::size_t>(j)].first, replayedAt[k] + kRate)
        << "message " << k << ": live direction from more than a second after the record";
    previous = j;
  }
  RecordProperty("messages", std::to_string(live.size()));
  RecordProperty("same_direction_messages", std::to_string(exact));
  std::printf(
      "live agreement: first live block %lld (array log: %lld), %zu messages with identical scores, %d with the same "
      "direction as the replay's, %zu direction averages\n",
      static_cast<long long>(*offset), static_cast<long long>(hint), live.size(), exact, directions.size());
}

} // namespace

// With a negative "border" the station runs the autocalibration mode against the array: every message has
// alert -2 and dirs [0.0,45.0], and "brd" is 1.05 times the largest score seen so far, so it never falls.
TEST(StationLive, NegativeBorderReportsAutocalibration) {
  if (kUnderThreadSanitizer) {
    GTEST_SKIP() << "the live station cannot keep up with a real-time array under ThreadSanitizer";
  }
  ASSERT_TRUE(StationPortsFree()) << "UDP port 33712 is taken: another station is running";
  TTempDir tmp("autocal");
  const std::string settingsDir = MakeSettings(tmp, [](rapidjson::Document &d) { d["detect"]["border"] = -1.0; });
  const int rtspPort = FreePort();
  const int jsonPort = FreePort();
  const int spectrPort = FreePort();
  ASSERT_TRUE(rtspPort > 0 && jsonPort > 0 && spectrPort > 0);

  TChild sim(kArraySim,
             {"--listen", "127.0.0.1:" + std::to_string(rtspPort), "--settings", settingsDir, "--source", "drone",
              "--seconds", "30", "--speed", "1"},
             tmp.Path("sim.log"));
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(WaitForText(tmp.Path("sim.log"), "virtual array on", 10s)) << ReadText(tmp.Path("sim.log"));
  TChild station(
      kStation,
      {settingsDir, std::to_string(jsonPort), std::to_string(spectrPort), "127.0.0.1:" + std::to_string(rtspPort)},
      tmp.Path("station.log"));
  ASSERT_TRUE(station.Started());
  const TFd results = ConnectWithin(jsonPort, 15s);
  ASSERT_GE(results.Get(), 0) << ReadText(tmp.Path("station.log"));
  const TFd spectrum = ConnectWithin(spectrPort, 15s);
  ASSERT_GE(spectrum.Get(), 0) << ReadText(tmp.Path("station.log"));

  std::vector<std::string> live;
  ReadResults(results, spectrum, Clock::now() + 20s, live, [&] { return live.size() >= 15; });
  const std::string log = ReadText(tmp.Path("station.log"));
  ASSERT_GE(live.size(), 15U) << log;
  EXPECT_NE(log.find("AutoCalibrating thread started"), std::string::npos) << log;
  double largest = 0.0;
  double previousBrd = 0.0;
  for (const std::string &text : live) {
    const auto doc = Parse(text);
    EXPECT_EQ(doc["alert"].GetInt(), -2) << text;
    EXPECT_NE(text.find(R"("dirs":[0.0,45.0])"), std::string::npos) << text;
    for (const auto &v : doc["dots"].GetArray()) {
      largest = std::max(largest, v.GetDouble());
    }
    EXPECT_DOUBLE_EQ(doc["brd"].GetDouble(), 1.05 * largest) << text;
    EXPECT_GE(doc["brd"].GetDouble(), previousBrd) << text;
    previousBrd = doc["brd"].GetDouble();
  }
  EXPECT_GT(previousBrd, 0.0); // a drone was heard
}

namespace {

// Alert of a result message, or nothing for a text that is not one.
std::optional<int> AlertOf(const std::string &text) {
  const auto doc = Parse(text);
  if (!doc.IsObject() || !doc.HasMember("alert") || !doc["alert"].IsInt()) {
    return std::nullopt;
  }
  return doc["alert"].GetInt();
}

// A station against a virtual array that the test stops, restarts and stalls. Every wait is bounded; a result
// message is "live" when its alert is a detection level (0 .. 2) and "no-array" when it is -1.
class TStationRecovery : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(StationPortsFree()) << "UDP port 33712 is taken: another station is running";
    SettingsDir = MakeSettings(Tmp);
    ASSERT_TRUE(RtspPort > 0 && JsonPort > 0 && SpectrPort > 0);
  }

  std::unique_ptr<TChild> StartArray(const std::vector<std::string> &extra, const std::string &log) {
    std::vector<std::string> args{
        "--listen", "127.0.0.1:" + std::to_string(RtspPort), "--settings", SettingsDir, "--source", "drone"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<TChild>(kArraySim, args, Tmp.Path(log));
    EXPECT_TRUE(WaitForText(Tmp.Path(log), "virtual array on", 10s)) << ReadText(Tmp.Path(log));
    return sim;
  }
  void StartStation() {
    Station = std::make_unique<TChild>(kStation,
                                       std::vector<std::string>{SettingsDir, std::to_string(JsonPort),
                                                                std::to_string(SpectrPort),
                                                                "127.0.0.1:" + std::to_string(RtspPort)},
                                       Tmp.Path("station.log"));
    Results = ConnectWithin(JsonPort, 15s);
    ASSERT_GE(Results.Get(), 0) << StationLog();
    Spectrum = ConnectWithin(SpectrPort, 15s);
    ASSERT_GE(Spectrum.Get(), 0) << StationLog();
  }
  // Reads messages until one satisfies `want` (true) or `limit` passes (false).
  bool ReadUntil(const std::function<bool(int)> &want, std::chrono::seconds limit) {
    bool found = false;
    std::size_t seen = Live.size();
    ReadResults(Results, Spectrum, Clock::now() + limit, Live, [&] {
      for (; seen < Live.size() && !found; ++seen) {
        const auto alert = AlertOf(Live[seen]);
        found = alert.has_value() && want(*alert);
      }
      return found;
    });
    return found;
  }
  static bool IsLive(int alert) { return alert >= 0 && alert <= 2; }
  static bool IsNoArray(int alert) { return alert == -1; }
  std::string StationLog() const { return ReadText(Tmp.Path("station.log")); }

  TTempDir Tmp{"recovery"};
  std::string SettingsDir;
  const int RtspPort = FreePort();
  const int JsonPort = FreePort();
  const int SpectrPort = FreePort();
  std::unique_ptr<TChild> Station;
  TFd Results;
  TFd Spectrum;
  std::vector<std::string> Live;
};

TEST_F(TStationRecovery, ArrayKilledAndRestartedGivesNoArrayMessagesThenResults) {
  auto sim = StartArray({}, "sim1.log");
  StartStation();
  ASSERT_TRUE(ReadUntil(IsLive, 20s)) << StationLog();
  sim.reset(); // the array goes away (SIGTERM), as when it reboots
  const auto lost = Clock::now();
  ASSERT_TRUE(ReadUntil(IsNoArray, 5s)) << "no no-array message within 5 s:\n" << StationLog();
  EXPECT_LE(Clock::now() - lost, 5s);
  std::this_thread::sleep_for(3s);
  sim = StartArray({}, "sim2.log");
  const auto back = Clock::now();
  ASSERT_TRUE(ReadUntil(IsLive, 20s)) << "results did not resume:\n" << StationLog();
  EXPECT_LE(Clock::now() - back, 15s);
  EXPECT_FALSE(Station->Poll()) << "the station ended:\n" << StationLog();
  const std::string log = StationLog();
  EXPECT_NE(log.find("lost: no datagram for 2 s"), std::string::npos) << log;
  EXPECT_NE(log.find("is back: detection and direction start afresh"), std::string::npos) << log;
  Station->Stop();
  EXPECT_EQ(Station->Poll(), std::optional<int>(0)) << "SIGTERM ends the station cleanly";
}

TEST_F(TStationRecovery, LateArrayStartsTheEnginesAndAStalledChannelIsNamedAndRecovered) {
  StartStation(); // nobody answers at the array's address yet
  ASSERT_TRUE(ReadUntil(IsNoArray, 5s)) << StationLog();
  std::this_thread::sleep_for(2s);
  // Array channel 3 stops for 4 s, 5 s into each of its sessions.
  auto sim = StartArray({"--stall", "3:4@5"}, "sim.log");
  ASSERT_TRUE(ReadUntil(IsLive, 20s)) << "the engines did not start:\n" << StationLog();
  ASSERT_TRUE(ReadUntil(IsNoArray, 12s)) << "the stall was not noticed:\n" << StationLog();
  ASSERT_TRUE(ReadUntil(IsLive, 20s)) << "results did not resume after the stall:\n" << StationLog();
  const std::string log = StationLog();
  EXPECT_NE(log.find("answered: starting the engines"), std::string::npos) << log;
  EXPECT_NE(log.find("lost: channel 3 silent for 2 s while the others flow"), std::string::npos) << log;
}

} // namespace

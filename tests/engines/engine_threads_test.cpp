// The engine threads end to end: a fake sample source in, a loopback client of the sender out.

#include "engines/main_union_engine.h"
#include "engines/spectrum_engine.h"
#include "fake_samples_src.h"
#include "loopback_client.h"
#include "scene.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Detection settings small enough that scores come every 256 samples: 256-point frames with a hop of 128,
// segments of 2 feature vectors, a resting window of 2 segments.
detection::TDetectConfig SmallDetectConfig(const std::string &trainPath, double border) {
  detection::TDetectConfig c;
  c.IsDynamicNet = false;
  c.js_train_fname = trainPath;
  c.border = border;
  c.M = 2;
  c.KK = 2;
  c.NN = 2;
  c.KN = 3;
  c.JJ = 12;
  c.NFFT = 256;
  c.OverlapFFT = 0.5;
  c.N_MFCC = 6;
  c.F_max = 10000;
  c.F_min = 1000;
  c.F_mid = 3000;
  c.F_Smp = 37500;
  c.MF_Wnd = 8;
  return c;
}

// A training file whose projection keeps the two band entropies and whose trained bins cover part of them.
std::string WriteTrainingFile() {
  // One file per process: CTest may run the cases of this executable in parallel processes.
  std::string path = testing::TempDir() + "engines_test_train_" + std::to_string(getpid()) + ".json";
  std::ofstream f(path);
  f << R"({"maxX":[0,0,0,0,0,0,0,0],"minX":[1,1,1,1,1,1,1,1],"X0":[0,0,0,0,0,0,0,0],"x00":[0,0],)"
    << R"("w":[[1,0,0,0,0,0,0,0],[0,1,0,0,0,0,0,0]],"aabb":[0,0,1.5,1.5],"NM":4,"M":2,)"
    << R"("pp":[1,2,3,4,5],"ind":[0,5,6,10,15]})";
  return path;
}

struct TMessage {
  int Alert = 0;
  double Brd = 0.0;
  std::vector<double> Dots;
  std::vector<double> Dirs;
};

bool ParseMessage(const std::string &text, TMessage &m) {
  rapidjson::Document d;
  d.Parse(text.c_str());
  if (d.HasParseError() || !d.IsObject() || !d["alert"].IsInt() || !d["brd"].IsNumber()) {
    return false;
  }
  m.Alert = d["alert"].GetInt();
  m.Brd = d["brd"].GetDouble();
  m.Dots.clear();
  m.Dirs.clear();
  for (const auto &v : d["dots"].GetArray()) {
    m.Dots.push_back(v.IsNumber() ? v.GetDouble() : std::nan(""));
  }
  for (const auto &v : d["dirs"].GetArray()) {
    m.Dirs.push_back(v.IsNumber() ? v.GetDouble() : std::nan(""));
  }
  return true;
}

// Publishes the source's blocks at about 2 ms each, so the engine and the detectors interleave as they do
// live, then collects result messages until none has come for `quietMs`.
std::vector<TMessage> PublishAndCollect(TFakeSamplesSrc &src, TLoopbackClient &client, int quietMs = 3000) {
  for (int b = 1; b <= src.Blocks(); ++b) {
    src.Publish(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::vector<TMessage> out;
  std::string text;
  while (client.ReadResult(text, quietMs)) {
    TMessage m;
    EXPECT_TRUE(ParseMessage(text, m)) << text;
    out.push_back(m);
  }
  return out;
}

} // namespace

TEST(TSpectrumEngine, StreamsFramesOfTheChosenChannelAndStopsCleanly) {
  constexpr int kPeriods = 300; // whole periods in 2048 samples: bin 300, position 44 of the 256..640 band
  constexpr double kAmplitude = 2000.0;
  std::array<std::vector<double>, 4> ch;
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 3000.0);
  for (auto &c : ch) {
    c.resize(std::size_t{20} * 400);
    for (double &v : c) {
      v = noise(rng);
    }
  }
  for (std::size_t n = 0; n < ch[2].size(); ++n) {
    ch[2][n] = kAmplitude * std::cos(2.0 * std::numbers::pi * kPeriods * static_cast<double>(n) / 2048.0);
  }
  TFakeSamplesSrc src(ch);
  TTcpSenderSrv sender;
  TLoopbackClient client(sender);
  TSpectrumEngine engine;
  engine.Channel = 2;
  engine.Src = &src;
  engine.FreqLow = 4000.0;
  engine.FreqHigh = 10000.0;
  engine.Sender = &sender;
  engine.Start();

  // 8000 samples: frames after 2048 and after 7168 samples.
  for (int frame = 0; frame < 2; ++frame) {
    std::vector<std::uint8_t> bytes(1542);
    ASSERT_TRUE(client.ReadExact(bytes.data(), bytes.size())) << "frame " << frame;
    EXPECT_EQ(bytes[0], 0x81);
    EXPECT_EQ(bytes[1], 0x01);
    float peak = 0.0F;
    std::memcpy(&peak, &bytes[2 + 4 * (kPeriods - 256)], 4); // little-endian host
    EXPECT_NEAR(peak, 10.0 * std::log10(kAmplitude * 1024.0), 1e-3);
  }
  src.Stop();
  engine.Stop();
  EXPECT_EQ(engine.FailureReason(), "");
  std::uint8_t extra = 0;
  EXPECT_FALSE(client.ReadExact(&extra, 1, 200)) << "a frame beyond the data";
}

TEST(TSpectrumEngine, StartRefusesABandOutsideTheTransform) {
  TFakeSamplesSrc src({});
  TSpectrumEngine engine;
  engine.Src = &src;
  engine.FreqLow = 4000.0;
  engine.FreqHigh = 40000.0;
  EXPECT_NE(TSpectrumEngine::CheckBand(engine.FreqLow, engine.FreqHigh), "");
  EXPECT_THROW(engine.Start(), std::invalid_argument);
  EXPECT_FALSE(engine.Thread.joinable());
}

class TMainUnionEngineTest : public testing::Test {
protected:
  void SetUp() override {
    TrainPath = WriteTrainingFile();
    Config = SmallDetectConfig(TrainPath, 0.001);
  }
  void TearDown() override { std::remove(TrainPath.c_str()); }

  // Fills and starts the engine as main does, with Config and DirParams as the test left them.
  void Start(TMainUnionEngine &engine, TFakeSamplesSrc &src, TTcpSenderSrv *sender) {
    engine.Src = &src;
    engine.DetectConfig = &Config;
    engine.DirDefParams = &DirParams;
    engine.AutocalibrMode = Config.border < 0.0 ? 1 : 0;
    engine.JsonSender = sender;
    engine.StartThread();
  }

  std::string TrainPath;
  detection::TDetectConfig Config;
  TDirDefParams DirParams = SceneSettings(4);
};

// Both roads of the engine loop: asleep between blocks and records (a source that wakes it) and pausing
// (a source that cannot).
class TMainUnionEngineWakeTest : public TMainUnionEngineTest, public testing::WithParamInterface<bool> {};

TEST_P(TMainUnionEngineWakeTest, HybridMessagesCarryScoresLevelsAndTheAveragedAzimuth) {
  TFakeSamplesSrc src(MakeScene(DirParams, 120.0, 60.0, 131072), false, GetParam());
  TTcpSenderSrv sender;
  TLoopbackClient client(sender);
  TMainUnionEngine engine;
  Start(engine, src, &sender);

  const std::vector<TMessage> messages = PublishAndCollect(src, client);
  src.Stop(); // first, so the detectors waiting for a further block can be joined
  engine.Stop();
  EXPECT_EQ(engine.Join(), "");

  ASSERT_GE(messages.size(), 20U);
  bool sawDirection = false;
  for (const TMessage &m : messages) {
    EXPECT_GE(m.Alert, 0);
    EXPECT_LE(m.Alert, 2);
    EXPECT_EQ(m.Brd, 0.001);
    ASSERT_EQ(m.Dots.size(), 4U);
    ASSERT_EQ(m.Dirs.size(), 2U);
    EXPECT_EQ(m.Dirs[1], 45.0);
    sawDirection = sawDirection || m.Dirs[0] != 0.0;
  }
  EXPECT_TRUE(sawDirection);
  EXPECT_NEAR(messages.back().Dirs[0], 120.0, 5.0);
  // The first message carries a single result, so it cannot be Detected_Drone yet.
  EXPECT_LE(messages.front().Alert, 1);
  EXPECT_EQ(DirParams.Mics[1].Fi, 120.0); // the engine worked on its own copy of the geometry
}

INSTANTIATE_TEST_SUITE_P(SourceWakes, TMainUnionEngineWakeTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Asleep" : "Pausing"; });

TEST_F(TMainUnionEngineTest, AutocalibrationReportsFivePercentAboveTheLargestScore) {
  TFakeSamplesSrc src(MakeScene(DirParams, 30.0, 90.0, 65536), false);
  TTcpSenderSrv sender;
  TLoopbackClient client(sender);
  TMainUnionEngine engine;
  Config.border = -1.0;
  testing::internal::CaptureStdout();
  Start(engine, src, &sender);

  const std::vector<TMessage> messages = PublishAndCollect(src, client);
  src.Stop();
  engine.Stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("AutoCalibrating thread started\n"), std::string::npos) << out;
  EXPECT_EQ(engine.Join(), "");

  ASSERT_GE(messages.size(), 20U);
  double max = 0.0; // every record reaches the client, so the running maximum is recomputable here
  for (const TMessage &m : messages) {
    for (const double v : m.Dots) {
      max = v > max ? v : max;
    }
    EXPECT_EQ(m.Alert, -2);
    EXPECT_DOUBLE_EQ(m.Brd, 1.05 * max);
    EXPECT_EQ(m.Dirs, (std::vector<double>{0.0, 45.0}));
  }
}

TEST_F(TMainUnionEngineTest, FailureOfADetectorOrOfTheDirectionSettingsEndsTheEngineWithItsReason) {
  for (const std::string key : {"NFFT", "FrameSize"}) {
    DirParams = SceneSettings(4);
    TFakeSamplesSrc src(MakeScene(DirParams, 30.0, 90.0, 8192));
    src.Stop(); // serves its blocks, then lets every waiting read return, so the detectors can be joined
    Config = SmallDetectConfig(TrainPath, 0.001);
    if (key == "FrameSize") {
      DirParams.FrameSize = 1000; // the correlation of the frames needs a power of two
    } else {
      Config.NFFT = 1000; // not a power of two: every detector thread refuses to start
    }
    TMainUnionEngine engine;
    Start(engine, src, nullptr);
    const std::string reason = engine.Join();
    EXPECT_NE(reason.find(key), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos);
  }
}

// Tests of the trainer against the station's own code: the saved training file loads and scores in the
// station's classifier the way the trainer weighed it, held-out scoring equals the station's channel chain,
// and the program handles good and bad input (exit status, message, no partial file).

#include "tools/train/crossval.h"
#include "tools/train/fit.h"
#include "tools/train/model.h"
#include "tools/train/station.h"
#include "tools/train/trainer.h"

#include "detection/channel_detector.h"
#include "detection/detect_config.h"
#include "detection/dtc_v2/detector.h"
#include "detection/dtc_v2/training_res.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using train::TFeatureSet;

constexpr int kRate = 37500;

// Settings the feature processor accepts, with a short window so that a few seconds give many scores.
constexpr const char *kDetectJson = R"({
  "pvcalk": {"NFFT": 1024, "OverlapFFT": 0.5, "N_MFCC": 6, "JJ": 12, "F_max": 10000, "F_mid": 2000,
             "F_min": 200, "F_Smp": 37500, "MF_Wnd": 30},
  "detect": {"js_train_fname": "train.json", "border": 0.5, "KK": 5, "KN": 5, "NN": 4, "M": 2,
             "IsDynamicNet": %DYN%}
})";

detection::TDetectConfig TestConfig(bool dynamic) {
  detection::TDetectConfig c;
  c.NFFT = 1024;
  c.OverlapFFT = 0.5;
  c.N_MFCC = 6;
  c.JJ = 12;
  c.F_max = 10000;
  c.F_mid = 2000;
  c.F_min = 200;
  c.F_Smp = kRate;
  c.MF_Wnd = 30;
  c.border = 0.5;
  c.KK = 5;
  c.KN = 5;
  c.NN = 4;
  c.M = 2;
  c.IsDynamicNet = dynamic;
  return c;
}

TFeatureSet Cloud(std::size_t count, double shift, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  TFeatureSet set(8);
  std::vector<double> x(8);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < 8; ++j) {
      x[j] = (j < 3 ? shift : 0.0) + normal(gen) * (j == 4 ? 0.3 + shift : 1.0);
    }
    set.Append(x.data());
  }
  return set;
}

// Drone-like sound: a harmonic series on f0 with a slow wobble, over weak noise, in the 16-bit range.
std::vector<double> Harmonic(double f0, double seconds, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<double> s(static_cast<std::size_t>(seconds * kRate));
  double phase = 0.0;
  for (std::size_t n = 0; n < s.size(); ++n) {
    const double t = static_cast<double>(n) / kRate;
    phase += 2.0 * std::numbers::pi * f0 * (1.0 + 0.01 * std::sin(2.0 * std::numbers::pi * 0.7 * t)) / kRate;
    double v = 0.0;
    for (int k = 1; k <= 25; ++k) {
      v += std::sin(k * phase) / k;
    }
    s[n] = 5000.0 * v + noise(gen);
  }
  return s;
}

// Background-like sound: white noise, optionally coloured by a leaky integrator.
std::vector<double> Noise(double seconds, double leak, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 3000.0);
  std::vector<double> s(static_cast<std::size_t>(seconds * kRate));
  double state = 0.0;
  for (double &v : s) {
    state = leak * state + noise(gen);
    v = state * (1.0 - leak + 0.05);
  }
  return s;
}

void WriteWav(const fs::path &path, const std::vector<std::vector<double>> &channels, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = static_cast<int>(channels.size());
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  std::vector<short> frames(channels[0].size() * channels.size());
  for (std::size_t n = 0; n < channels[0].size(); ++n) {
    for (std::size_t c = 0; c < channels.size(); ++c) {
      frames[n * channels.size() + c] = static_cast<short>(std::clamp(channels[c][n], -32768.0, 32767.0));
    }
  }
  sf_writef_short(f, frames.data(), static_cast<sf_count_t>(channels[0].size()));
  sf_close(f);
}

void ExpectClose(const std::vector<double> &a, const std::vector<double> &b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_NEAR(a[i], b[i], 1e-14 * std::max(1.0, std::abs(b[i]))) << "element " << i;
  }
}

// Expected score of the first window, from the trainer's own binning of each vector.
double ExpectedFirstScore(const train::TTrainModel &m, const detection::TDetectConfig &c, const TFeatureSet &set) {
  const int window = c.NN * c.KK;
  double k = 0.0;
  double o = 0.0;
  double ppSum = 0.0;
  for (int p : m.pp) {
    ppSum += p;
  }
  std::vector<double> y(static_cast<std::size_t>(m.M));
  for (int i = 0; i < window; ++i) {
    train::Project(m, set.Row(static_cast<std::size_t>(i)), y.data());
    const std::int64_t bin = train::BinIndex(m, y.data(), !m.mh.empty());
    if (bin >= 0) {
      k += 1.0;
      o += train::BinWeight(m, bin);
    }
  }
  return k * o / (window * ppSum);
}

class TempDir : public ::testing::Test {
protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("ormelin_train_" + std::string(info->test_suite_name()) + "_" + info->name() +
                                        "_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string &name) const { return (dir_ / name).string(); }

  void WriteSettings(bool dynamic = false) {
    std::string text = kDetectJson;
    text.replace(text.find("%DYN%"), 5, dynamic ? "1" : "0");
    std::ofstream(dir_ / "detect.json") << text;
  }

  // Four target and four background recordings of three seconds.
  void WriteCorpus() {
    const double f0s[] = {150.0, 180.0, 210.0, 240.0};
    for (int i = 0; i < 4; ++i) {
      WriteWav(dir_ / ("t" + std::to_string(i) + ".wav"), {Harmonic(f0s[i], 3.0, 100 + i)}, kRate);
      WriteWav(dir_ / ("b" + std::to_string(i) + ".wav"), {Noise(3.0, i * 0.3, 200 + i)}, kRate);
    }
  }

  int Run(const std::vector<std::string> &args) {
    out_.str("");
    err_.str("");
    return train::RunTrainer(args, out_, err_);
  }

  std::vector<std::string> BaseArgs() {
    return {"--settings",   dir_.string() + "/", "--target",     Path("t0.wav"),    Path("t1.wav"),
            Path("t2.wav"), Path("t3.wav"),      "--background", Path("b0.wav"),    Path("b1.wav"),
            Path("b2.wav"), Path("b3.wav"),      "--out",        Path("train.json")};
  }

  std::string LastLine() const {
    std::string text = out_.str();
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text.substr(text.rfind('\n') + 1);
  }

  bool NoOutput() const { return !fs::exists(dir_ / "train.json") && !fs::exists(dir_ / "train.json.tmp"); }

  fs::path dir_;
  std::ostringstream out_;
  std::ostringstream err_;
};

using StationClassifier = TempDir;

TEST_F(StationClassifier, ScoresSavedFileAsTheTrainerWeighsIt) {
  for (const bool dynamic : {false, true}) {
    const detection::TDetectConfig c = TestConfig(dynamic);
    train::TFitOptions o;
    o.M = c.M;
    o.edges = dynamic;
    train::TTrainModel m;
    train::TFitReport rep;
    std::string error;
    ASSERT_TRUE(train::FitModel(Cloud(3000, 1.5, 1), Cloud(3000, 0.0, 2), o, m, rep, error)) << error;
    const dtc_v2::TTrainingRes saved = train::ToTrainingRes(m);
    ASSERT_TRUE(saved.Save(Path("train.json")));

    dtc_v2::TTrainingRes loaded;
    ASSERT_TRUE(loaded.Load(Path("train.json"), dynamic));
    // The station parses numbers with rapidjson's fast default conversion: doubles agree to a few ulps.
    ExpectClose(loaded.maxX, saved.maxX);
    ExpectClose(loaded.minX, saved.minX);
    ExpectClose(loaded.X0, saved.X0);
    ExpectClose(loaded.x00, saved.x00);
    ASSERT_EQ(loaded.w.size(), saved.w.size());
    for (std::size_t r = 0; r < saved.w.size(); ++r) {
      ExpectClose(loaded.w[r], saved.w[r]);
    }
    EXPECT_EQ(loaded.PowCount, 1);
    ExpectClose(loaded.aabb, saved.aabb);
    ExpectClose(loaded.mh, saved.mh);
    EXPECT_EQ(loaded.pp, saved.pp);
    EXPECT_EQ(loaded.ind, saved.ind);
    EXPECT_EQ(loaded.NM, saved.NM);
    EXPECT_EQ(loaded.M, saved.M);
    EXPECT_EQ(train::AsLoaded(saved, dynamic).w, loaded.w) << "AsLoaded gives what Load gives";
    for (const bool dense : {false, true}) {
      EXPECT_EQ(dtc_v2::CheckTrainingData(c, loaded, dense), "");
    }

    // The first window's score is the one the trainer predicts from its own binning, for both lookups; the
    // target scores high and the background low.
    const TFeatureSet fresh[2] = {Cloud(400, 1.5, 11), Cloud(400, 0.0, 12)};
    double firstScore[2] = {0.0, 0.0};
    for (const bool dense : {false, true}) {
      for (int cls = 0; cls < 2; ++cls) {
        dtc_v2::TDetector det(c, loaded, dense);
        dtc_v2::TResRecord r;
        std::vector<double> v;
        int produced = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(c.NN) * static_cast<std::size_t>(c.KK); ++i) {
          v.assign(fresh[cls].Row(i), fresh[cls].Row(i) + 8);
          produced += det.proc_one_pvector(v, r) ? 1 : 0;
        }
        ASSERT_EQ(produced, 1);
        EXPECT_NEAR(r.score, ExpectedFirstScore(m, c, fresh[cls]), 1e-9) << "dynamic " << dynamic;
        firstScore[cls] = r.score;
      }
    }
    EXPECT_GT(firstScore[0], 3.0 * firstScore[1]) << "dynamic " << dynamic;
  }
}

TEST(ScoreRecording, MatchesTheStationChannelChain) {
  const detection::TDetectConfig c = TestConfig(false);
  const std::vector<double> target = Harmonic(180.0, 3.0, 1);
  const std::vector<double> background = Noise(3.0, 0.5, 2);
  train::TFeatureSet ft(8);
  train::TFeatureSet fb(8);
  train::AppendFinite(train::ExtractFeatures(c, target), ft);
  train::AppendFinite(train::ExtractFeatures(c, background), fb);
  train::TFitOptions o;
  train::TTrainModel m;
  train::TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(ft, fb, o, m, rep, error)) << error;
  const dtc_v2::TTrainingRes t = train::ToTrainingRes(m);

  std::vector<double> mixed = Noise(2.0, 0.2, 3);
  const std::vector<double> tail = Harmonic(200.0, 2.0, 4);
  mixed.insert(mixed.end(), tail.begin(), tail.end());
  for (const double border : {0.05, 1e300}) {
    detection::TDetectConfig cb = c;
    cb.border = border;
    detection::TChannelDetector chain(cb, t, false);
    std::vector<double> expected;
    double score = 0.0;
    for (double x : mixed) {
      if (chain.PushSample(x, score)) {
        expected.push_back(score);
      }
    }
    const std::vector<double> got = train::ScoreRecording(c, t, border, train::ExtractFeatures(c, mixed));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(got, expected) << "border " << border;
  }
}

using RunTrainer = TempDir;

TEST_F(RunTrainer, TrainsOnSeparableRecordingsAndReportsHeldOutFigures) {
  WriteSettings();
  WriteCorpus();
  ASSERT_EQ(Run(BaseArgs()), 0) << err_.str();
  EXPECT_EQ(err_.str(), "");
  rapidjson::Document doc;
  doc.Parse(LastLine().c_str());
  ASSERT_TRUE(doc.IsObject()) << LastLine();
  for (const char *key : {"detection_rate", "false_alarm_rate", "auc", "border"}) {
    ASSERT_TRUE(doc.HasMember(key) && doc[key].IsNumber()) << key;
  }
  EXPECT_TRUE(doc["held_out"].GetBool());
  EXPECT_GE(doc["detection_rate"].GetDouble(), 0.9);
  EXPECT_LE(doc["false_alarm_rate"].GetDouble(), 0.01);
  EXPECT_GT(doc["auc"].GetDouble(), 0.95);
  EXPECT_GT(doc["border"].GetDouble(), 0.0);
  // One of four recordings per class is held out by default.
  EXPECT_NE(out_.str().find("target: 3 recordings for training"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("background: 3 recordings for training"), std::string::npos) << out_.str();

  dtc_v2::TTrainingRes t;
  ASSERT_TRUE(t.Load(Path("train.json"), false));
  EXPECT_EQ(dtc_v2::CheckTrainingData(TestConfig(false), t, false), "");
  EXPECT_FALSE(fs::exists(dir_ / "train.json.tmp"));

  // Same seed, same file: the run is reproducible.
  const std::string first = (std::stringstream() << std::ifstream(Path("train.json")).rdbuf()).str();
  ASSERT_EQ(Run(BaseArgs()), 0) << err_.str();
  EXPECT_EQ((std::stringstream() << std::ifstream(Path("train.json")).rdbuf()).str(), first);
}

TEST_F(RunTrainer, TakesNamedHoldoutResampledAndMultichannelInput) {
  WriteSettings(true);
  WriteCorpus();
  // A 48 kHz target and a four-channel file whose channel 1 holds a target sound.
  const std::vector<double> t48 = [] {
    std::vector<double> s(static_cast<std::size_t>(3.0 * 48000));
    for (std::size_t n = 0; n < s.size(); ++n) {
      double v = 0.0;
      for (int k = 1; k <= 25; ++k) {
        v += std::sin(2.0 * std::numbers::pi * 170.0 * k * static_cast<double>(n) / 48000) / k;
      }
      s[n] = 5000.0 * v;
    }
    return s;
  }();
  WriteWav(dir_ / "t48.wav", {t48}, 48000);
  const std::vector<double> quiet(static_cast<std::size_t>(3 * kRate), 0.0);
  WriteWav(dir_ / "quad.wav", {Noise(3.0, 0.1, 9), Harmonic(190.0, 3.0, 10), quiet, quiet}, kRate);
  WriteWav(dir_ / "rb.wav", {Noise(3.0, 0.6, 11)}, kRate);

  std::vector<std::string> args = BaseArgs();
  args.insert(args.begin() + 3, {Path("t48.wav"), Path("quad.wav")});
  args.insert(args.end(), {"--holdout", Path("quad.wav"), Path("b3.wav"), "--channel", "1", "--report-background",
                           Path("rb.wav"), "--verbose"});
  ASSERT_EQ(Run(args), 0) << err_.str();
  const std::string text = out_.str();
  EXPECT_NE(text.find("resampled " + Path("t48.wav") + " from 48000 Hz"), std::string::npos) << text;
  EXPECT_NE(text.find("held out: target     " + Path("quad.wav")), std::string::npos) << text;
  EXPECT_NE(text.find("held out: background " + Path("b3.wav")), std::string::npos) << text;
  EXPECT_NE(text.find("report background: "), std::string::npos) << text;
  rapidjson::Document doc;
  doc.Parse(LastLine().c_str());
  ASSERT_TRUE(doc.IsObject()) << LastLine();
  EXPECT_TRUE(doc.HasMember("report_background_false_alarm_rate"));
  EXPECT_GE(doc["detection_rate"].GetDouble(), 0.9);

  dtc_v2::TTrainingRes t;
  ASSERT_TRUE(t.Load(Path("train.json"), true));
  EXPECT_EQ(t.mh.size(), 2U * 17U);
}

TEST_F(RunTrainer, RefusesBadInputWithOneLineAndNoFile) {
  WriteSettings();
  WriteCorpus();
  std::ofstream(dir_ / "garbage.wav") << "not a sound file";
  const std::vector<double> quiet(static_cast<std::size_t>(kRate), 0.0);
  WriteWav(dir_ / "quad.wav", {quiet, quiet, quiet, quiet}, kRate);
  WriteWav(dir_ / "short.wav", {Noise(0.2, 0.0, 5)}, kRate);

  struct TCase {
    const char *what;
    std::vector<std::string> extra; // replaces the background list when it starts with "--background"
    int status;
    const char *message;
  };
  const std::vector<TCase> cases = {
      {"unreadable file", {"--background", Path("garbage.wav")}, 1, "garbage.wav: cannot read sound file"},
      {"missing file", {"--background", Path("none.wav")}, 1, "none.wav: cannot read sound file"},
      {"multichannel without --channel", {"--background", Path("quad.wav")}, 1, "choose one with --channel"},
      {"channel beyond the file", {"--channel", "7"}, 0, nullptr},
      {"background class too short", {"--background", Path("short.wav")}, 1, "too little background training data"},
      {"empty class", {"--background"}, 2, "--background needs at least one FILE"},
      {"unknown option", {"--frobnicate"}, 2, "unknown argument --frobnicate"},
      {"bad number", {"--nm", "many"}, 2, "--nm takes"},
      {"holdout not listed", {"--holdout", Path("other.wav")}, 2, "is not among"},
      {"everything held out",
       {"--holdout", Path("b0.wav"), Path("b1.wav"), Path("b2.wav"), Path("b3.wav")},
       1,
       "every background recording is held out"},
      {"file in both classes", {"--report-background", Path("t0.wav")}, 2, "listed twice"},
  };
  for (const TCase &tc : cases) {
    std::vector<std::string> args = BaseArgs();
    if (!tc.extra.empty() && tc.extra[0] == "--background") {
      const auto bg = std::find(args.begin(), args.end(), "--background");
      args.erase(bg, bg + 5);
    }
    args.insert(args.end(), tc.extra.begin(), tc.extra.end());
    fs::remove(dir_ / "train.json");
    const int status = Run(args);
    EXPECT_EQ(status, tc.status) << tc.what << ": " << err_.str();
    if (tc.message == nullptr) {
      continue; // mono files ignore --channel
    }
    EXPECT_NE(err_.str().find(tc.message), std::string::npos) << tc.what << ": " << err_.str();
    const std::string err = err_.str();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << tc.what << ": " << err;
    EXPECT_TRUE(NoOutput()) << tc.what;
  }

  // Settings the processor cannot run on, or none at all.
  std::ofstream(dir_ / "detect.json") << R"({"pvcalk": {"NFFT": 1000}, "detect": {}})";
  EXPECT_EQ(Run(BaseArgs()), 1);
  EXPECT_NE(err_.str().find("detect.json: \"NFFT\" 1000"), std::string::npos) << err_.str();
  fs::remove(dir_ / "detect.json");
  EXPECT_EQ(Run(BaseArgs()), 1);
  EXPECT_NE(err_.str().find("cannot read the settings file"), std::string::npos) << err_.str();
  EXPECT_TRUE(NoOutput());
}

TEST_F(RunTrainer, FailedRunLeavesAnEarlierTrainingFileUntouched) {
  WriteSettings();
  WriteCorpus();
  std::ofstream(dir_ / "train.json") << "earlier";
  std::vector<std::string> args = BaseArgs();
  args.insert(args.end(), {"--report-background", Path("missing.wav")});
  EXPECT_EQ(Run(args), 1);
  EXPECT_EQ((std::stringstream() << std::ifstream(Path("train.json")).rdbuf()).str(), "earlier");
  EXPECT_FALSE(fs::exists(dir_ / "train.json.tmp"));

  // An output directory that does not exist is refused before any work.
  args = BaseArgs();
  args.back() = Path("nowhere/train.json");
  EXPECT_EQ(Run(args), 1);
  EXPECT_NE(err_.str().find("no directory"), std::string::npos) << err_.str();
}

TEST_F(RunTrainer, SingleRecordingPerClassIsSplitInTime) {
  WriteSettings();
  WriteWav(dir_ / "t.wav", {Harmonic(180.0, 6.0, 1)}, kRate);
  WriteWav(dir_ / "b.wav", {Noise(6.0, 0.3, 2)}, kRate);
  ASSERT_EQ(Run({"--settings", dir_.string(), "--target", Path("t.wav"), "--background", Path("b.wav"), "--out",
                 Path("train.json")}),
            0)
      << err_.str();
  EXPECT_NE(out_.str().find("held out: target     " + Path("t.wav") + " (last 25 %)"), std::string::npos) << out_.str();
  rapidjson::Document doc;
  doc.Parse(LastLine().c_str());
  ASSERT_TRUE(doc.IsObject());
  EXPECT_TRUE(doc["held_out"].GetBool());

  // With no hold-out the report says its figures come from the training recordings.
  ASSERT_EQ(Run({"--settings", dir_.string(), "--target", Path("t.wav"), "--background", Path("b.wav"), "--out",
                 Path("train.json"), "--holdout-share", "0"}),
            0)
      << err_.str();
  EXPECT_NE(out_.str().find("(optimistic)"), std::string::npos);
  doc.Parse(LastLine().c_str());
  EXPECT_FALSE(doc["held_out"].GetBool());
}

TEST(SummariseAlerts, CountsRecordsAfterTheFirstThreeAndRisesToDetected) {
  const double border = 0.001;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Channel 2 is high from record 1 on; at record 6 it drops for two records, then rises again.
  std::vector<std::array<double, 4>> r;
  for (int n = 0; n < 12; ++n) {
    const bool high = n >= 1 && n != 6 && n != 7;
    r.push_back({0.0, nan, high ? 0.002 : border, 0.0005});
  }
  std::vector<double> times;
  for (int n = 0; n < 12; ++n) {
    times.push_back(1.5 + 0.25 * n);
  }
  const train::TAlertOutcome o = train::SummariseAlerts(r, times, border);
  EXPECT_EQ(o.records, 12U);
  EXPECT_EQ(o.counted, 9U);
  // Level 2 at records 3, 4, 5 and again from record 10 (three highs: 8, 9, 10) to 11.
  EXPECT_EQ(o.detected, 5U);
  EXPECT_EQ(o.events, 2U);
  EXPECT_DOUBLE_EQ(o.firstDetectedS, times[3]);
  EXPECT_DOUBLE_EQ(o.maxScore, 0.002); // NaN is no score

  // A score equal to the border is low, as in the union engine; no records, no detection.
  const train::TAlertOutcome flat = train::SummariseAlerts({r.size(), {border, border, border, border}}, times, border);
  EXPECT_EQ(flat.detected, 0U);
  EXPECT_EQ(flat.firstDetectedS, -1.0);
  EXPECT_EQ(train::SummariseAlerts({}, {}, border).records, 0U);
}

TEST(ScoreTimeS, IsWhenTheStationChainEmitsTheScore) {
  detection::TDetectConfig c = TestConfig(false);
  const int hop = 512;
  // Cut a recording just before and just after the predicted instant of score 7: it must hold 7, then 8 scores.
  const double t7 = train::ScoreTimeS(c, hop, 7);
  train::TTrainModel m;
  m.M = 2;
  const dtc_v2::TTrainingRes t = [&] {
    TFeatureSet ft = Cloud(400, 2.0, 1);
    TFeatureSet fb = Cloud(400, 0.0, 2);
    train::TFitOptions o;
    train::TFitReport rep;
    std::string error;
    EXPECT_TRUE(train::FitModel(ft, fb, o, m, rep, error)) << error;
    return train::ToTrainingRes(m);
  }();
  const std::vector<double> sound = Noise(4.0, 0.2, 7);
  for (const auto &[samples, scores] :
       {std::pair{static_cast<std::size_t>(t7 * kRate) - 1, 7U}, std::pair{static_cast<std::size_t>(t7 * kRate), 8U}}) {
    const std::vector<double> cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(samples));
    EXPECT_EQ(train::ScoreRecording(c, t, 1e300, train::ExtractFeatures(c, cut)).size(), scores) << samples;
  }
}

using RunTrainerManifest = TempDir;

// Two folds of harmonic targets and noise backgrounds; each fold's eval scenes are four-channel files.
TEST_F(RunTrainerManifest, CrossValidatesPerFoldAndWritesTheFinalModel) {
  WriteSettings();
  const double f0s[] = {150.0, 180.0, 210.0, 240.0};
  std::ostringstream man;
  for (int i = 0; i < 4; ++i) {
    const int fold = i % 2;
    const std::string t = "t" + std::to_string(i);
    const std::string b = "b" + std::to_string(i);
    WriteWav(dir_ / (t + ".wav"), {Harmonic(f0s[i], 3.0, 100 + i)}, kRate);
    WriteWav(dir_ / (b + ".wav"), {Noise(3.0, i * 0.3, 200 + i)}, kRate);
    std::vector<std::vector<double>> te, be;
    for (int ch = 0; ch < 4; ++ch) {
      te.push_back(Harmonic(f0s[i] * 1.03, 3.0, 300 + 4 * i + ch));
      be.push_back(Noise(3.0, i * 0.3, 400 + 4 * i + ch));
    }
    WriteWav(dir_ / ("e" + t + ".wav"), te, kRate);
    WriteWav(dir_ / ("e" + b + ".wav"), be, kRate);
    man << "target train " << fold << " " << t << " flight " << Path(t + ".wav") << "\n"
        << "background train " << fold << " " << b << " outdoor " << Path(b + ".wav") << "\n"
        << "target eval " << fold << " " << t << " flight " << Path("e" + t + ".wav") << "\n"
        << "background eval " << fold << " " << b << " outdoor " << Path("e" + b + ".wav") << "\n";
  }
  std::ofstream(dir_ / "manifest.txt") << man.str();
  const std::vector<std::string> args = {"--settings", dir_.string() + "/", "--manifest", Path("manifest.txt"),
                                         "--out",      Path("train.json"),  "--jobs",     "2"};
  ASSERT_EQ(Run(args), 0) << err_.str();
  const std::string text = out_.str();
  for (const char *line : {"fold 0: trained on 2 target", "fold 1: trained on 2 target",
                           "final model: trained on 4 target", "flight: 4 recordings"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  rapidjson::Document doc;
  doc.Parse(LastLine().c_str());
  ASSERT_TRUE(doc.IsObject()) << LastLine();
  EXPECT_GT(doc["border"].GetDouble(), 0.0);
  EXPECT_GE(doc["detection_rate"].GetDouble(), 0.9);
  EXPECT_LE(doc["false_alarm_rate"].GetDouble(), 0.01);
  ASSERT_TRUE(doc["cross_validation"].HasMember("flight"));
  EXPECT_EQ(doc["cross_validation"]["flight"]["never_detected"].GetUint64(), 0U);
  dtc_v2::TTrainingRes t;
  ASSERT_TRUE(t.Load(Path("train.json"), false));
  EXPECT_EQ(dtc_v2::CheckTrainingData(TestConfig(false), t, false), "");

  // Each fold's model and border for the station's own replay of the fold.
  fs::create_directories(dir_ / "folds");
  std::vector<std::string> withFolds = args;
  withFolds.insert(withFolds.end(), {"--fold-dir", Path("folds")});
  ASSERT_EQ(Run(withFolds), 0) << err_.str();
  EXPECT_TRUE(t.Load(Path("folds/fold-0.json"), false));
  EXPECT_TRUE(t.Load(Path("folds/fold-1.json"), false));
  std::ifstream borders(dir_ / "folds" / "borders.txt");
  std::string name;
  double border = 0.0;
  std::vector<std::string> names;
  while (borders >> name >> border) {
    names.push_back(name);
    EXPECT_GT(border, 0.0) << name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"0", "1", "final"}));
  EXPECT_EQ(Run({"--settings", dir_.string() + "/", "--target", Path("t0.wav"), "--background", Path("b0.wav"), "--out",
                 Path("x.json"), "--fold-dir", Path("folds")}),
            2);
  EXPECT_NE(err_.str().find("--fold-dir needs --manifest"), std::string::npos) << err_.str();

  // Same input, same file, whatever the thread count.
  const std::string first = (std::stringstream() << std::ifstream(Path("train.json")).rdbuf()).str();
  std::vector<std::string> oneJob = args;
  oneJob.back() = "1";
  ASSERT_EQ(Run(oneJob), 0) << err_.str();
  EXPECT_EQ((std::stringstream() << std::ifstream(Path("train.json")).rdbuf()).str(), first);

  // A mono eval file, a group leaking across folds, or a manifest beside --target: one line, no file.
  struct TCase {
    std::string extraLine;
    std::vector<std::string> extraArgs;
    int status;
    const char *message;
  };
  const std::vector<TCase> cases = {
      {"target eval 0 t0 flight " + Path("t0.wav"), {}, 1, "an eval recording must be a four-channel recording"},
      {"target train 1 t0+b1 flight " + Path("t1.wav"), {}, 1, "recording t0 is in fold 0"},
      {"", {"--target", Path("t0.wav")}, 2, "--manifest lists every recording"},
      {"", {"--manifest", Path("none.txt")}, 1, "cannot read the manifest"},
  };
  for (const TCase &tc : cases) {
    std::ofstream(dir_ / "manifest.txt") << man.str() << tc.extraLine << "\n";
    fs::remove(dir_ / "train.json");
    std::vector<std::string> a = args;
    a.insert(a.end(), tc.extraArgs.begin(), tc.extraArgs.end());
    EXPECT_EQ(Run(a), tc.status) << tc.message << ": " << err_.str();
    EXPECT_NE(err_.str().find(tc.message), std::string::npos) << err_.str();
    const std::string err = err_.str();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(NoOutput()) << tc.message;
  }
}

} // namespace

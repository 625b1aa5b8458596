// Detector threads and the four-channel detector set against a fake sample source: block order, score
// ring, stop semantics, records of four, failures reported without ending the process.

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "detection/dtc_v2/detector.h"
#include "detection/dtc_v2/variant.h"
#include "detection/single_detector.h"
#include "detection/x4_detectors.h"
#include "detection_test_support.h"

namespace {

using detection::TDetectConfig;
using namespace std::chrono_literals;

// Serves the k-th read of channel c from samples [400 k, 400 k + 400) of that channel's signal, whatever
// block index is asked for, once the test has released at least k + 1 blocks. Stopping it makes every
// read return at once (zeros), as a stopped array client would.
class TFakeSource : public TAbstractSamplesSrc {
public:
  TFakeSource(int blocks, std::array<std::vector<double>, 4> signals) : blocks_(blocks), signals_(std::move(signals)) {}
  TFakeSource(const TFakeSource &) = delete;
  TFakeSource &operator=(const TFakeSource &) = delete;
  ~TFakeSource() = default;

  void ReadAllCH(std::vector<double> &a, std::vector<double> &b, std::vector<double> &c, std::vector<double> &d,
                 int) override {
    for (auto *v : {&a, &b, &c, &d}) {
      v->assign(400, 0.0);
    }
  }
  bool NonBlockReadAllCH(std::vector<double> &, std::vector<double> &, std::vector<double> &, std::vector<double> &,
                         int) override {
    return false;
  }
  void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) override {
    std::unique_lock lock(mu_);
    ++attempts_[channel];
    cv_.notify_all();
    const int k = reads_[channel];
    cv_.wait(lock, [&] { return stopped_ || k < released_; });
    ++reads_[channel];
    indices_[channel].push_back(index);
    if (channel == throwOn_) {
      throw std::runtime_error("link lost");
    }
    v.assign(400, 0.0);
    const auto &s = signals_[channel];
    for (std::size_t i = 0; i < 400 && !stopped_; ++i) {
      const std::size_t at = static_cast<std::size_t>(k) * 400 + i;
      v[i] = at < s.size() ? s[at] : 0.0;
    }
  }
  int BlocksCount() override { return blocks_; }
  bool Start() override { return true; }

  void Release(int blocks) {
    std::lock_guard lock(mu_);
    released_ = blocks;
    cv_.notify_all();
  }
  void StopSource() {
    std::lock_guard lock(mu_);
    stopped_ = true;
    cv_.notify_all();
  }
  void ThrowOn(int channel) {
    std::lock_guard lock(mu_);
    throwOn_ = channel;
  }
  // Waits until `channel` has entered its read `n` times (so it finished every earlier block).
  bool WaitAttempts(int channel, int n, std::chrono::seconds limit = 60s) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return attempts_[channel] >= n; });
  }
  int Attempts(int channel) {
    std::lock_guard lock(mu_);
    return attempts_[channel];
  }
  std::vector<int> Indices(int channel) {
    std::lock_guard lock(mu_);
    return indices_[channel];
  }

private:
  const int blocks_;
  const std::array<std::vector<double>, 4> signals_;
  std::mutex mu_;
  std::condition_variable cv_;
  int released_ = 0;
  bool stopped_ = false;
  int throwOn_ = -1;
  std::array<int, 4> attempts_{};
  std::array<int, 4> reads_{};
  std::array<std::vector<int>, 4> indices_;
};

// Stops the source when a test ends, before the detectors are joined, so no thread stays blocked.
struct TStopOnExit {
  TFakeSource &src;
  ~TStopOnExit() { src.StopSource(); }
};

// The scores the chain must publish, from the processor and the classifier driven directly.
std::vector<double> ChainScores(const TDetectConfig &c, const dtc_v2::TTrainingRes &t, const std::vector<double> &x,
                                std::size_t samples) {
  std::vector<double> head(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(std::min(samples, x.size())));
  head.resize(samples, 0.0);
  dtc_v2::TDetector classifier(c, t, false);
  std::vector<double> out;
  for (auto &v : dtest::FeaturesOf(c, head)) {
    dtc_v2::TResRecord r;
    if (classifier.proc_one_pvector(v, r)) {
      out.push_back(r.score);
    }
  }
  return out;
}

class DetectorThreadsTest : public testing::Test {
protected:
  void SetUp() override {
    config_ = dtest::SmallConfig();
    for (int ch = 0; ch < 4; ++ch) {
      signals_[ch] = dtest::HarmonicPlusNoise(400 * 60UL, 700.0 + 150.0 * ch, 2000.0, 500.0, 30 + ch, 1500);
    }
    training_ = dtest::TrainingFor(dtest::FeaturesOf(config_, signals_[0]), 8, 2, 6, 1);
    ASSERT_TRUE(training_.Save(trainFile_.Path()));
    config_.js_train_fname = trainFile_.Path();
  }

  static void Start(detection::TSingleDetector &d, TFakeSource &src, const TDetectConfig &c, int channel) {
    d.Src = &src;
    d.Config = &c;
    d.Channel = channel;
    d.Thread = std::thread(&detection::TSingleDetector::th_Detect, &d);
  }

  TDetectConfig config_;
  std::array<std::vector<double>, 4> signals_;
  dtc_v2::TTrainingRes training_;
  dtest::TTempFile trainFile_{"threads_train.json"};
};

TEST_F(DetectorThreadsTest, SingleDetectorReadsFromBlockZeroAndWrapsTheBlockCounter) {
  TFakeSource src(3, signals_);
  detection::TSingleDetector d;
  TStopOnExit stop{src};
  Start(d, src, config_, 1);
  src.Release(7);
  ASSERT_TRUE(src.WaitAttempts(1, 8));
  EXPECT_EQ(src.Indices(1), (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(d.FailureReason(), "");
}

TEST_F(DetectorThreadsTest, SingleDetectorPublishesTheChainScoresInOrder) {
  TFakeSource src(70000, signals_);
  detection::TSingleDetector d;
  TStopOnExit stop{src};
  Start(d, src, config_, 2);
  src.Release(20);
  ASSERT_TRUE(src.WaitAttempts(2, 21));
  const auto want = ChainScores(config_, training_, signals_[2], 20 * 400UL);
  ASSERT_EQ(d.WriteIdx.load(std::memory_order_acquire), static_cast<int>(want.size()));
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(d.Scores[i], want[i]) << i;
  }
}

TEST_F(DetectorThreadsTest, ScoreRingWrapsAfter20000Scores) {
  TDetectConfig c = config_;
  c.KK = 1;
  c.NN = 1;
  c.KN = 1; // one score per feature vector, one vector per 32 samples
  const std::size_t blocks = 1601;
  std::array<std::vector<double>, 4> signals;
  signals[0] = dtest::HarmonicPlusNoise(blocks * 400, 800.0, 2000.0, 500.0, 40, 5000);
  TFakeSource src(70000, signals);
  detection::TSingleDetector d;
  TStopOnExit stop{src};
  Start(d, src, c, 0);
  src.Release(static_cast<int>(blocks));
  ASSERT_TRUE(src.WaitAttempts(0, static_cast<int>(blocks) + 1, 100s));
  const auto want = ChainScores(c, training_, signals[0], blocks * 400);
  ASSERT_EQ(want.size(), 20011U);
  EXPECT_EQ(d.WriteIdx.load(std::memory_order_acquire), 11);
  for (std::size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(d.Scores[i], want[20000 + i]) << i;
  }
  EXPECT_EQ(d.Scores[11], want[11]);
  EXPECT_EQ(d.Scores[19999], want[19999]);
}

TEST_F(DetectorThreadsTest, StopBeforeTheLoopReadsNoBlock) {
  TFakeSource src(70000, signals_);
  detection::TSingleDetector d;
  d.Stop.store(true);
  Start(d, src, config_, 0);
  d.Thread.join();
  EXPECT_EQ(src.Attempts(0), 0);
  EXPECT_EQ(d.FailureReason(), "");
}

TEST_F(DetectorThreadsTest, StopDuringAReadEndsAfterThatBlockIsProcessed) {
  TFakeSource src(70000, signals_);
  detection::TSingleDetector d;
  Start(d, src, config_, 0);
  src.Release(2);
  ASSERT_TRUE(src.WaitAttempts(0, 3)); // blocked in the third read
  d.Stop.store(true);
  std::this_thread::sleep_for(20ms);
  src.Release(3);
  d.Thread.join();
  EXPECT_EQ(src.Attempts(0), 3);
  const auto want = ChainScores(config_, training_, signals_[0], 3 * 400UL);
  EXPECT_EQ(d.WriteIdx.load(), static_cast<int>(want.size())) << "the third block's scores were published";
}

TEST_F(DetectorThreadsTest, UnusableTrainingEndsTheThreadWithAReason) {
  TFakeSource src(70000, signals_);
  TDetectConfig c = config_;
  c.js_train_fname = "/nonexistent/train.json";
  detection::TSingleDetector d;
  Start(d, src, c, 3);
  d.Thread.join(); // ends by itself
  EXPECT_EQ(src.Attempts(3), 0);
  const std::string why = d.FailureReason();
  EXPECT_EQ(why.rfind("detector channel 3: /nonexistent/train.json: training file cannot be opened", 0), 0U) << why;
}

TEST_F(DetectorThreadsTest, DetectorSetJoinsTheNthScoreOfEveryChannel) {
  const int blocks = 40;
  std::array<std::vector<double>, 4> want;
  std::size_t records = 1000000;
  for (int ch = 0; ch < 4; ++ch) {
    want[ch] = ChainScores(config_, training_, signals_[ch], blocks * 400UL);
    records = std::min(records, want[ch].size());
  }
  ASSERT_GT(records, 50U);
  for (const bool dense : {false, true}) {
    SCOPED_TRACE(dense ? "dense lookup" : "sorted lookup");
    TFakeSource src(70000, signals_);
    detection::TX4Detectors set;
    TStopOnExit stop{src};
    set.Init(&src, &config_, dense);
    ASSERT_EQ(set.Detectors.size(), 4U);
    for (int ch = 0; ch < 4; ++ch) {
      EXPECT_EQ(set.Detectors[ch]->Channel, ch);
      EXPECT_EQ(set.Detectors[ch]->DenseBinWeights, dense);
    }
    src.Release(blocks);
    std::vector<std::array<double, 4>> got;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (got.size() < records && std::chrono::steady_clock::now() < deadline) {
      std::array<double, 4> q{};
      if (set.TryRead(q)) {
        got.push_back(q);
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    ASSERT_EQ(got.size(), records);
    for (std::size_t n = 0; n < records; ++n) {
      for (int ch = 0; ch < 4; ++ch) {
        ASSERT_EQ(got[n][ch], want[ch][n]) << "record " << n << " channel " << ch;
      }
    }
    std::array<double, 4> extra{};
    EXPECT_FALSE(set.TryRead(extra));
    EXPECT_EQ(set.FailureReason(), "");
    src.StopSource();
    set.StopAll();
    set.StopAll(); // idempotent
  }
}

TEST_F(DetectorThreadsTest, DetectorSetUsesTheLinkedLookupByDefault) {
  TFakeSource src(70000, signals_);
  detection::TX4Detectors set;
  TStopOnExit stop{src};
  set.Init(&src, &config_);
  for (const auto &d : set.Detectors) {
    EXPECT_EQ(d->DenseBinWeights, dtc_v2::UseDenseBinWeights());
  }
  EXPECT_FALSE(dtc_v2::UseDenseBinWeights()) << "this test links the ormelin_station variant";
}

TEST_F(DetectorThreadsTest, ThrowingSourceIsReportedAndTheOthersCarryOn) {
  TFakeSource src(70000, signals_);
  src.ThrowOn(2);
  detection::TX4Detectors set;
  TStopOnExit stop{src};
  set.Init(&src, &config_, false);
  src.Release(10);
  std::string why;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (why.empty() && std::chrono::steady_clock::now() < deadline) {
    why = set.FailureReason();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(why, "detector channel 2: link lost");
  ASSERT_TRUE(src.WaitAttempts(0, 11));
  EXPECT_GT(set.Detectors[0]->WriteIdx.load(), 0) << "channel 0 still publishes";
  EXPECT_EQ(set.Detectors[2]->WriteIdx.load(), 0);
}

TEST_F(DetectorThreadsTest, StopAllReturnsOnceTheSourceIsStopped) {
  TFakeSource src(70000, signals_);
  detection::TX4Detectors set;
  set.Init(&src, &config_, false);
  for (int ch = 0; ch < 4; ++ch) {
    ASSERT_TRUE(src.WaitAttempts(ch, 1)); // every detector blocked in its first read
  }
  EXPECT_THROW(set.Init(&src, &config_, false), std::logic_error);
  src.StopSource();
  set.StopAll();
  for (const auto &d : set.Detectors) {
    EXPECT_FALSE(d->Thread.joinable());
  }
  EXPECT_FALSE(set.SyncThread.joinable());
}

} // namespace

// The histogram classifier against a plain recomputation of its window and score rules, both bin-weight
// lookups, and its edge cases.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "detection/dtc_v2/detector.h"
#include "detection_test_support.h"

namespace {

using detection::TDetectConfig;
using dtc_v2::TDetector;
using dtc_v2::THistogram;
using dtc_v2::TResRecord;
using dtc_v2::TTrainingRes;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- Independent reference -------------------------------------------------------------------------------

// Keeps every segment's bins and scores the newest segCount of them; segCount is NN after a non-detection
// and grows by one (up to KN) after a detection.
class TRefClassifier {
public:
  TRefClassifier(TDetectConfig c, TTrainingRes t) : c_(std::move(c)), t_(std::move(t)) {
    for (std::size_t k = 0; k < t_.ind.size(); ++k) {
      weight_[t_.ind[k]] = t_.pp[k];
      ppSum_ += t_.pp[k];
    }
  }

  std::optional<double> Push(const std::vector<double> &v) {
    pending_.push_back(v);
    if (!started_) {
      if (pending_.size() < static_cast<std::size_t>(c_.NN) * c_.KK) {
        return std::nullopt;
      }
      for (int s = 0; s < c_.NN; ++s) {
        segments_.push_back(Bins(s * c_.KK, (s + 1) * c_.KK));
      }
      started_ = true;
      segCount_ = c_.NN;
    } else {
      if (pending_.size() < static_cast<std::size_t>(c_.KK)) {
        return std::nullopt;
      }
      segments_.push_back(Bins(0, c_.KK));
      segCount_ = detected_ ? std::min(segCount_ + 1, c_.KN) : c_.NN;
    }
    pending_.clear();
    double K = 0.0;
    double O = 0.0;
    for (std::size_t s = segments_.size() - segCount_; s < segments_.size(); ++s) {
      for (const long b : segments_[s]) {
        K += 1.0;
        const auto it = weight_.find(b);
        O += it == weight_.end() ? 0.0 : it->second;
      }
    }
    const double score = K * O / (double(segCount_) * c_.KK * ppSum_);
    detected_ = score >= c_.border;
    return score;
  }

  int SegCount() const { return segCount_; }

  std::vector<double> Project(const std::vector<double> &x) const {
    const int n = c_.N_MFCC + 2;
    std::vector<double> y;
    for (int i = 0; i < c_.M; ++i) {
      double acc = t_.x00[i];
      for (int j = 0; j < n; ++j) {
        const double z = (x[j] - t_.maxX[j]) / t_.minX[j] - t_.X0[j];
        if (t_.PowCount == 1) {
          acc += t_.w[i][j] * z;
        } else {
          for (int k = 0; k < t_.PowCount; ++k) {
            acc += t_.w[i][k * n + j] * std::pow(z, k);
          }
        }
      }
      y.push_back(acc);
    }
    return y;
  }

private:
  // Bin of each counted point of pending_[first, last).
  std::vector<long> Bins(int first, int last) const {
    std::vector<long> out;
    for (int p = first; p < last; ++p) {
      const std::vector<double> y = Project(pending_[p]);
      long b = 0;
      long mult = 1;
      bool counted = true;
      for (int k = 0; k < c_.M; ++k) {
        const double L = t_.aabb[k] - 1e-10;
        const double U = t_.aabb[c_.M + k] + 1e-10;
        long idx = 0;
        if (!std::isfinite(y[k])) {
          counted = false;
        } else if (t_.mh.empty()) {
          const double f = std::floor((y[k] - L) / ((U - L) / t_.NM));
          counted = counted && f >= 0 && f < t_.NM;
          idx = counted ? static_cast<long>(f) : 0;
        } else if (y[k] < L || y[k] > U) {
          idx = t_.NM - 1;
        } else {
          long pos = 0;
          while (pos <= t_.NM && t_.mh[static_cast<std::size_t>(k) * (t_.NM + 1) + pos] < y[k]) {
            ++pos;
          }
          idx = pos == 0 ? 0 : pos - 1;
        }
        b += idx * mult;
        mult *= t_.NM;
      }
      if (counted) {
        out.push_back(b);
      }
    }
    return out;
  }

  TDetectConfig c_;
  TTrainingRes t_;
  std::map<long, double> weight_;
  double ppSum_ = 0.0;
  std::vector<std::vector<double>> pending_;
  std::vector<std::vector<long>> segments_;
  bool started_ = false;
  bool detected_ = false;
  int segCount_ = 0;
};

// Scores of the reference with `border`, and the segment counts it went through.
std::vector<double> RefScores(const TDetectConfig &c, const TTrainingRes &t,
                              const std::vector<std::vector<double>> &features, std::vector<int> *segCounts = nullptr) {
  TRefClassifier ref(c, t);
  std::vector<double> out;
  for (const auto &v : features) {
    if (const auto s = ref.Push(v)) {
      out.push_back(*s);
      if (segCounts != nullptr) {
        segCounts->push_back(ref.SegCount());
      }
    }
  }
  return out;
}

std::vector<double> Scores(const TDetectConfig &c, const TTrainingRes &t, bool dense,
                           std::vector<std::vector<double>> features) {
  TDetector d(c, t, dense);
  std::vector<double> out;
  for (auto &v : features) {
    TResRecord r;
    if (d.proc_one_pvector(v, r)) {
      EXPECT_EQ(r.detected, r.score >= c.border ? 1 : 0);
      EXPECT_EQ(d.windowVectors, d.segCount * c.KK);
      EXPECT_EQ(d.args.segments.size(), static_cast<std::size_t>(d.segCount));
      out.push_back(r.score);
    }
  }
  return out;
}

// Runs the golden comparison: a border at the median score, so the window both grows and shrinks.
void CheckAgainstReference(TDetectConfig c, const TTrainingRes &t, const std::vector<std::vector<double>> &features) {
  c.border = kInf;
  auto probe = RefScores(c, t, features);
  ASSERT_GT(probe.size(), 10U);
  std::sort(probe.begin(), probe.end());
  c.border = probe[probe.size() / 2];
  ASSERT_GT(c.border, 0.0);

  std::vector<int> segCounts;
  const auto want = RefScores(c, t, features, &segCounts);
  ASSERT_NE(std::find(segCounts.begin(), segCounts.end(), c.KN), segCounts.end()) << "window never grew to KN";
  ASSERT_GT(std::count(segCounts.begin() + 1, segCounts.end(), c.NN), 0) << "window never shrank back";

  const auto sorted = Scores(c, t, false, features);
  const auto dense = Scores(c, t, true, features);
  ASSERT_EQ(sorted.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(sorted[i], want[i], 1e-9 * std::abs(want[i])) << "score " << i;
  }
  EXPECT_EQ(dense, sorted) << "both lookups give identical scores";
}

TEST(TDetector, MatchesReferenceOnProcessorFeaturesWithPowerTerms) {
  const TDetectConfig c = dtest::ShippedConfig();
  const auto x = dtest::HarmonicPlusNoise(1024 + 560 * 512UL, 610.0, 3000.0, 600.0, 21, 37 * 512UL);
  const auto features = dtest::FeaturesOf(c, x);
  ASSERT_EQ(features.size(), 561U);
  const TTrainingRes t = dtest::TrainingFor(features, 8, 2, 8, 2);
  CheckAgainstReference(c, t, features);
}

TEST(TDetector, MatchesReferenceWithEdgeTableBins) {
  TDetectConfig c = dtest::ShippedConfig();
  c.KK = 3;
  c.NN = 2;
  c.KN = 4;
  c.M = 3;
  c.IsDynamicNet = true;
  const auto x = dtest::HarmonicPlusNoise(1024 + 300 * 512UL, 610.0, 3000.0, 600.0, 22, 11 * 512UL);
  const auto features = dtest::FeaturesOf(c, x);
  TTrainingRes t = dtest::TrainingFor(features, 8, 3, 5, 1);
  // Edges over the lower part of each dimension only: values above the last edge take index NM, and the
  // top dimension's index NM forms bins at or above NM^M.
  for (int k = 0; k < 3; ++k) {
    const double lo = t.aabb[k];
    const double hi = t.aabb[3 + k];
    for (int e = 0; e <= t.NM; ++e) {
      t.mh.push_back(lo + (hi - lo) * 0.8 * e / t.NM);
    }
  }
  CheckAgainstReference(c, t, features);
}

// ---- Hand-built training: y = (x0, x1) -------------------------------------------------------------------

TDetectConfig PlainConfig() {
  TDetectConfig c = dtest::ShippedConfig();
  c.border = 0.5;
  return c;
}

TTrainingRes PlainTraining() {
  TTrainingRes t;
  t.maxX.assign(8, 0.0);
  t.minX.assign(8, 1.0);
  t.X0.assign(8, 0.0);
  t.x00 = {0.0, 0.0};
  t.w = {{1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0}};
  t.PowCount = 1;
  t.aabb = {0.0, 0.0, 1.0, 1.0};
  t.NM = 10;
  t.M = 2;
  t.ind = {0, 57};
  t.pp = {2, 3};
  return t;
}

std::vector<double> At(double y0, double y1) { return {y0, y1, 0, 0, 0, 0, 0, 0}; }

TEST(TDetector, FirstScoreOnThe110thVectorThenEvery10th) {
  TDetector d(PlainConfig(), PlainTraining(), false);
  std::vector<int> scored;
  for (int i = 1; i <= 150; ++i) {
    auto v = At(0.05, 0.05);
    TResRecord r;
    if (d.proc_one_pvector(v, r)) {
      scored.push_back(i);
    }
  }
  EXPECT_EQ(scored, (std::vector<int>{110, 120, 130, 140, 150}));
}

TEST(TDetector, ScoresCountsTimesWeights) {
  for (const bool dense : {false, true}) {
    TDetector d(PlainConfig(), PlainTraining(), dense);
    TResRecord r;
    for (int i = 0; i < 110; ++i) {
      auto v = i < 55 ? At(0.05, 0.05) : At(0.75, 0.55); // bins 0 (weight 2) and 57 (weight 3)
      d.proc_one_pvector(v, r);
    }
    // K = 110, O = 55 x 2 + 55 x 3, window 110 vectors, ppSum 5.
    EXPECT_DOUBLE_EQ(r.score, 110.0 * 275.0 / (110.0 * 5.0));
    EXPECT_EQ(r.detected, 1);
  }
}

TEST(TDetector, UntrainedBinsCountInKButNotInO) {
  TDetector d(PlainConfig(), PlainTraining(), false);
  TResRecord r;
  for (int i = 0; i < 110; ++i) {
    auto v = i < 10 ? At(0.05, 0.05) : At(0.35, 0.35); // bin 33 is untrained
    d.proc_one_pvector(v, r);
  }
  EXPECT_DOUBLE_EQ(r.score, 110.0 * 20.0 / (110.0 * 5.0));
}

TEST(TDetector, AllPointsOutsideTheBoundsScoreZero) {
  TDetector d(PlainConfig(), PlainTraining(), false);
  TResRecord r{1.0, 1};
  for (int i = 0; i < 110; ++i) {
    auto v = At(1.5, 0.5);
    d.proc_one_pvector(v, r);
  }
  EXPECT_EQ(r.score, 0.0);
  EXPECT_EQ(r.detected, 0);
}

TEST(TDetector, WindowGrowsWhileDetectingAndShrinksAfter) {
  TDetectConfig c = PlainConfig();
  c.border = 40.0; // score = 2 x (trained vectors in the window) / 5 while every point is in bounds
  TDetector d(c, PlainTraining(), false);
  TResRecord r;
  std::vector<int> segs;
  std::vector<int> detected;
  std::vector<double> scores;
  for (int i = 0; i < 160; ++i) {
    auto v = i < 110 ? At(0.05, 0.05) : At(0.35, 0.35); // trained bin 0, then untrained bin 33
    if (d.proc_one_pvector(v, r)) {
      segs.push_back(d.segCount);
      detected.push_back(r.detected);
      scores.push_back(r.score);
      EXPECT_EQ(d.args.segments.size(), static_cast<std::size_t>(d.segCount));
      EXPECT_EQ(d.windowVectors, d.segCount * 10);
    }
  }
  // Detected, grown to 12; detected at exactly the border (40); below it the window keeps 12 segments for
  // that update, then shrinks to 11.
  EXPECT_EQ(scores, (std::vector<double>{44.0, 44.0, 40.0, 36.0, 28.0, 24.0}));
  EXPECT_EQ(segs, (std::vector<int>{11, 12, 12, 12, 11, 11}));
  EXPECT_EQ(detected, (std::vector<int>{1, 1, 1, 0, 0, 0}));
}

TEST(TDetector, UniformBinsIncludeTheUpperBoundAndDropTheRest) {
  TDetector d(PlainConfig(), PlainTraining(), false);
  THistogram h;
  d.histND({{1.0, 0.0}, {0.0, 1.0}, {1.0 + 1e-9, 0.5}, {-1e-9, 0.5}, {0.5, kNaN}, {kInf, 0.5}, {0.95, 0.0}}, 10,
           d.args.lo, d.args.hi, h);
  EXPECT_EQ(h.second, (std::vector<std::int32_t>{9, 90})) << "bins in order of first occurrence";
  EXPECT_EQ(h.first, (std::vector<std::int32_t>{2, 1}));
}

TEST(TDetector, EdgeTableBinsCountOutOfBoundsValuesInTheLastBin) {
  TDetectConfig c = PlainConfig();
  c.IsDynamicNet = true;
  TTrainingRes t = PlainTraining();
  for (int k = 0; k < 2; ++k) {
    for (int e = 0; e <= 10; ++e) {
      t.mh.push_back(0.05 * e); // edges cover [0, 0.5] of the bounds [0, 1]
    }
  }
  TDetector d(c, t, false);
  THistogram h;
  d.histND_0({{-3.0, 0.0}, {0.07, 5.0}, {0.0, 0.0}, {0.7, 0.01}, {0.01, 0.7}, {kNaN, 0.2}, {0.2, -kInf}}, 10, d.args.lo,
             d.args.hi, h);
  std::map<std::int32_t, std::int32_t> got;
  for (std::size_t i = 0; i < h.first.size(); ++i) {
    got[h.second[i]] += h.first[i];
  }
  // (-3, 0) -> (9, 0); (0.07, 5) -> (1, 9); (0, 0) -> (0, 0); (0.7, 0.01) -> (10, 0) = 10;
  // (0.01, 0.7) -> (0, 10) = 100: above NM^M; non-finite points dropped.
  EXPECT_EQ(got, (std::map<std::int32_t, std::int32_t>{{0, 1}, {9, 1}, {10, 1}, {91, 1}, {100, 1}}));
}

TEST(TDetector, BinsBeyondTheDenseTableWeighNothingInBothLookups) {
  TDetectConfig c = PlainConfig();
  c.IsDynamicNet = true;
  TTrainingRes t = PlainTraining();
  for (int k = 0; k < 2; ++k) {
    for (int e = 0; e <= 10; ++e) {
      t.mh.push_back(0.05 * e);
    }
  }
  t.ind = {0, 99};
  t.pp = {2, 3};
  TDetector sorted(c, t, false);
  TDetector dense(c, t, true);
  ASSERT_EQ(dense.binWeights.size(), 100U);
  for (const std::int32_t b : {99, 100, 109, 110, 1000, -1}) {
    EXPECT_EQ(dense.BinWeight(b), sorted.BinWeight(b)) << b;
  }
  EXPECT_EQ(dense.BinWeight(99), 3);
  TResRecord rs;
  TResRecord rd;
  for (int i = 0; i < 130; ++i) {
    auto v = At(0.9, 0.9); // index 10 in both dimensions: bin 110
    auto w = v;
    sorted.proc_one_pvector(v, rs);
    dense.proc_one_pvector(w, rd);
  }
  EXPECT_EQ(rs.score, 0.0);
  EXPECT_EQ(rd.score, rs.score);
}

TEST(TDetector, ShortOrNonFiniteFeatureVectorsAreNotCounted) {
  TDetector d(PlainConfig(), PlainTraining(), false);
  TResRecord r;
  for (int i = 0; i < 110; ++i) {
    std::vector<double> v = At(0.05, 0.05);
    if (i % 3 == 0) {
      v = {0.05}; // second element missing
    } else if (i % 3 == 1) {
      v[0] = -kInf;
    }
    d.proc_one_pvector(v, r);
  }
  // Only the 36 vectors with i % 3 == 2 land in bin 0.
  EXPECT_DOUBLE_EQ(r.score, 36.0 * 72.0 / (110.0 * 5.0));
}

TEST(TDetector, DenseTableHoldsEveryTrainedWeight) {
  TDetectConfig c = PlainConfig();
  TTrainingRes t = PlainTraining();
  t.ind = {57};
  t.pp = {3};
  TDetector d(c, t, true);
  ASSERT_EQ(d.binWeights.size(), 100U);
  for (std::int32_t b = 0; b < 100; ++b) {
    EXPECT_EQ(d.binWeights[b], b == 57 ? 3 : 0);
  }

  TTrainingRes up = PlainTraining();
  up.ind = {20, 57};
  up.pp = {4, 3};
  TTrainingRes down = up;
  down.ind = {57, 20};
  down.pp = {3, 4};
  EXPECT_EQ(TDetector(c, down, true).binWeights, TDetector(c, up, true).binWeights);

  TTrainingRes twice = PlainTraining();
  twice.ind = {57, 3, 57};
  twice.pp = {3, 1, 5};
  EXPECT_EQ(TDetector(c, twice, true).binWeights[57], 5) << "a repeated bin takes its later weight";
  EXPECT_THROW(TDetector(c, twice, false), std::invalid_argument) << "the sorted lookup needs ascending bins";
  EXPECT_THROW(TDetector(c, down, false), std::invalid_argument);
}

TEST(TDetector, RefusesUnusableTrainingAtConstruction) {
  TTrainingRes t = PlainTraining();
  t.aabb = {0.0, 1.0};
  EXPECT_THROW(TDetector(PlainConfig(), t, false), std::invalid_argument);
  TDetectConfig c = PlainConfig();
  c.KN = 0;
  EXPECT_THROW(TDetector(c, PlainTraining(), false), std::invalid_argument);
}

} // namespace

// Tests of the trainer's pure fitting and evaluation code: eigen-decomposition, model fit on synthetic
// feature clouds, ROC figures and border choice, hold-out split, sample-rate conversion.

#include "tools/train/fit.h"
#include "tools/train/linalg.h"
#include "tools/train/manifest.h"
#include "tools/train/model.h"
#include "tools/train/resample.h"
#include "tools/train/roc.h"
#include "tools/train/split.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <random>
#include <set>
#include <vector>

namespace {

using train::TFeatureSet;
using train::TFitOptions;
using train::TFitReport;
using train::TTrainModel;

// Gaussian cloud with independent features: mean[j] + sd[j] * N(0, 1).
TFeatureSet Cloud(std::size_t count, const std::vector<double> &mean, const std::vector<double> &sd,
                  std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  TFeatureSet set(mean.size());
  std::vector<double> x(mean.size());
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < mean.size(); ++j) {
      x[j] = mean[j] + sd[j] * normal(gen);
    }
    set.Append(x.data());
  }
  return set;
}

// Projection written out directly from the training-file semantics, independent of train::Project.
std::vector<double> DirectProjection(const TTrainModel &m, const double *x) {
  const std::size_t n = m.X0.size();
  std::vector<double> y(static_cast<std::size_t>(m.M));
  for (std::size_t i = 0; i < y.size(); ++i) {
    y[i] = m.x00[i];
    for (std::size_t j = 0; j < n; ++j) {
      const double z = (x[j] - m.maxX[j]) / m.minX[j] - m.X0[j];
      if (m.PowCount == 1) {
        y[i] += m.w[i][j] * z;
      } else {
        for (int k = 0; k < m.PowCount; ++k) {
          y[i] += m.w[i][static_cast<std::size_t>(k) * n + j] * std::pow(z, k);
        }
      }
    }
  }
  return y;
}

// Weight of the uniform-histogram bin of a projected point, found by a linear scan of ind.
int DirectWeight(const TTrainModel &m, const std::vector<double> &y) {
  long long bin = 0;
  long long digit = 1;
  const std::size_t dims = y.size();
  for (std::size_t k = 0; k < dims; ++k) {
    const double lo = m.aabb[k] - 1e-10;
    const double hi = m.aabb[dims + k] + 1e-10;
    const double idx = std::floor((y[k] - lo) / ((hi - lo) / m.NM));
    if (idx < 0 || idx >= m.NM) {
      return 0;
    }
    bin += static_cast<long long>(idx) * digit;
    digit *= m.NM;
  }
  for (std::size_t p = 0; p < m.ind.size(); ++p) {
    if (m.ind[p] == bin) {
      return m.pp[p];
    }
  }
  return 0;
}

double Cosine(const std::vector<double> &a, const std::vector<double> &b) {
  const double ab = std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
  const double aa = std::inner_product(a.begin(), a.end(), a.begin(), 0.0);
  const double bb = std::inner_product(b.begin(), b.end(), b.begin(), 0.0);
  return ab / std::sqrt(aa * bb);
}

// Weight row of one projected dimension mapped back to raw feature units (w_j / minX_j), linear block only.
std::vector<double> RawDirection(const TTrainModel &m, std::size_t dim) {
  const std::size_t n = m.X0.size();
  const std::size_t offset = m.PowCount == 1 ? 0 : n;
  std::vector<double> r(n);
  for (std::size_t j = 0; j < n; ++j) {
    r[j] = m.w[dim][offset + j] / m.minX[j];
  }
  return r;
}

// Share of the set's vectors that land in a rewarded bin.
double RewardedShare(const TTrainModel &m, const TFeatureSet &set) {
  std::size_t hits = 0;
  for (std::size_t i = 0; i < set.Count(); ++i) {
    hits += DirectWeight(m, DirectProjection(m, set.Row(i))) > 0 ? 1 : 0;
  }
  return static_cast<double>(hits) / static_cast<double>(set.Count());
}

void ExpectConsistentShapes(const TTrainModel &m, std::size_t n, const TFitOptions &o) {
  ASSERT_EQ(m.maxX.size(), n);
  ASSERT_EQ(m.minX.size(), n);
  ASSERT_EQ(m.X0.size(), n);
  ASSERT_EQ(m.x00.size(), static_cast<std::size_t>(o.M));
  ASSERT_EQ(m.w.size(), static_cast<std::size_t>(o.M));
  for (const auto &row : m.w) {
    // The classifier derives PowCount as length of w[0] / length of X0.
    ASSERT_EQ(row.size(), n * static_cast<std::size_t>(o.PowCount));
  }
  EXPECT_EQ(m.PowCount, o.PowCount);
  EXPECT_EQ(m.M, o.M);
  EXPECT_EQ(m.NM, o.NM);
  ASSERT_EQ(m.aabb.size(), 2 * static_cast<std::size_t>(o.M));
  for (int k = 0; k < o.M; ++k) {
    EXPECT_LT(m.aabb[static_cast<std::size_t>(k)], m.aabb[static_cast<std::size_t>(o.M + k)]);
  }
  ASSERT_EQ(m.pp.size(), m.ind.size());
  ASSERT_FALSE(m.ind.empty());
  const auto bins = static_cast<long long>(std::pow(o.NM, o.M));
  for (std::size_t p = 0; p < m.ind.size(); ++p) {
    if (p > 0) {
      EXPECT_LT(m.ind[p - 1], m.ind[p]) << "ind must be strictly ascending";
    }
    EXPECT_GE(m.ind[p], 0);
    EXPECT_LT(m.ind[p], bins);
    EXPECT_GE(m.pp[p], 1);
    EXPECT_LE(m.pp[p], o.maxWeight);
  }
  EXPECT_EQ(*std::max_element(m.pp.begin(), m.pp.end()), o.maxWeight);
  if (o.edges) {
    EXPECT_EQ(m.mh.size(), static_cast<std::size_t>(o.M) * static_cast<std::size_t>(o.NM + 1));
  } else {
    EXPECT_TRUE(m.mh.empty());
  }
}

TEST(SymmetricEigen, ReconstructsRandomMatricesOfSeveralSizes) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (std::size_t n : {1U, 2U, 5U, 12U, 30U}) {
    train::TSquare a(n);
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = r; c < n; ++c) {
        a(r, c) = a(c, r) = u(gen);
      }
    }
    const train::TSymEigen e = train::SymmetricEigen(a);
    ASSERT_EQ(e.values.size(), n);
    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      trace += a(i, i);
      if (i > 0) {
        EXPECT_GE(e.values[i - 1], e.values[i]);
      }
      // A v = lambda v, v unit, eigenvectors mutually orthogonal.
      for (std::size_t r = 0; r < n; ++r) {
        double av = 0.0;
        for (std::size_t c = 0; c < n; ++c) {
          av += a(r, c) * e.vectors[i][c];
        }
        EXPECT_NEAR(av, e.values[i] * e.vectors[i][r], 1e-10) << "n=" << n;
      }
      for (std::size_t j = 0; j <= i; ++j) {
        const double dot = std::inner_product(e.vectors[i].begin(), e.vectors[i].end(), e.vectors[j].begin(), 0.0);
        EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-10);
      }
    }
    EXPECT_NEAR(std::accumulate(e.values.begin(), e.values.end(), 0.0), trace, 1e-10);
  }
}

TEST(FitModel, SeparatesShiftedGaussianClouds) {
  const std::size_t n = 8;
  std::vector<double> meanB(n, 0.0);
  std::vector<double> meanT = {2.0, -1.5, 0.0, 1.0, 0.0, 0.0, 2.0, 0.0}; // distance 3.5 sd
  std::vector<double> sd(n, 1.0);
  // Features on very different scales, as band entropies and cepstral coefficients are.
  const std::vector<double> scale = {0.01, 1.0, 50.0, 3.0, 0.2, 1000.0, 7.0, 1.0};
  auto scaled = [&](TFeatureSet s) {
    for (std::size_t i = 0; i < s.Count(); ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        s.values[i * n + j] = s.values[i * n + j] * scale[j] + 10.0 * scale[j];
      }
    }
    return s;
  };
  const TFeatureSet target = scaled(Cloud(3000, meanT, sd, 1));
  const TFeatureSet background = scaled(Cloud(9000, meanB, sd, 2));
  TFitOptions o;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  ExpectConsistentShapes(m, n, o);

  // Normalisation: mean and spread of the class-balanced mixture, computed here directly.
  for (std::size_t j = 0; j < n; ++j) {
    const auto nt = static_cast<double>(target.Count());
    const auto nb = static_cast<double>(background.Count());
    double mt = 0, mb = 0, vt = 0, vb = 0;
    for (std::size_t i = 0; i < target.Count(); ++i) {
      mt += target.Row(i)[j] / nt;
    }
    for (std::size_t i = 0; i < background.Count(); ++i) {
      mb += background.Row(i)[j] / nb;
    }
    for (std::size_t i = 0; i < target.Count(); ++i) {
      vt += std::pow(target.Row(i)[j] - mt, 2) / nt;
    }
    for (std::size_t i = 0; i < background.Count(); ++i) {
      vb += std::pow(background.Row(i)[j] - mb, 2) / nb;
    }
    EXPECT_NEAR(m.maxX[j], 0.5 * (mt + mb), 1e-9 * scale[j] * 10);
    EXPECT_NEAR(m.minX[j], std::sqrt(0.5 * (vt + vb) + 0.25 * (mt - mb) * (mt - mb)), 1e-9 * scale[j] * 10);
    EXPECT_EQ(m.X0[j], 0.0);
  }

  // With identity within-class covariance the Fisher direction is the mean difference (in raw units: scaled).
  std::vector<double> rawDiff(n);
  for (std::size_t j = 0; j < n; ++j) {
    rawDiff[j] = (meanT[j] - meanB[j]) / scale[j];
  }
  EXPECT_GT(Cosine(RawDirection(m, 0), rawDiff), 0.99);
  EXPECT_NEAR(rep.directions[0].targetMean - rep.directions[0].backgroundMean, 3.5, 0.2);

  // On fresh draws the rewarded bins catch the target and miss the background.
  const TFeatureSet freshT = scaled(Cloud(2000, meanT, sd, 11));
  const TFeatureSet freshB = scaled(Cloud(2000, meanB, sd, 12));
  EXPECT_GT(RewardedShare(m, freshT), 0.9);
  EXPECT_LT(RewardedShare(m, freshB), 0.15);
  EXPECT_GT(rep.targetMeanWeight, 3.0 * rep.backgroundMeanWeight);
}

TEST(FitModel, RewardsOnlyBinsWhereTargetIsMoreLikely) {
  const std::size_t n = 4;
  const TFeatureSet target = Cloud(2000, {1.0, 0.5, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}, 3);
  const TFeatureSet background = Cloud(4000, {0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}, 4);
  TFitOptions o;
  o.M = 2;
  o.NM = 8;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  ExpectConsistentShapes(m, n, o);

  // Count each class per bin directly and compare the class shares of every rewarded bin; the two largest
  // weights must go to bins the target visits far more often.
  std::vector<double> shareT(64, 0.0), shareB(64, 0.0);
  auto fill = [&](const TFeatureSet &s, std::vector<double> &share) {
    for (std::size_t i = 0; i < s.Count(); ++i) {
      const auto y = DirectProjection(m, s.Row(i));
      const std::int64_t bin = train::BinIndex(m, y.data(), false);
      if (bin >= 0) {
        share[static_cast<std::size_t>(bin)] += 1.0 / static_cast<double>(s.Count());
      }
    }
  };
  fill(target, shareT);
  fill(background, shareB);
  for (std::size_t p = 0; p < m.ind.size(); ++p) {
    const auto b = static_cast<std::size_t>(m.ind[p]);
    EXPECT_GT(shareT[b], 0.0);
    if (m.pp[p] >= 20) {
      // A clearly rewarded bin is one the target visits more than the background.
      EXPECT_GT(shareT[b], shareB[b]) << "bin " << b << " weight " << m.pp[p];
    }
  }
  // Bins with a background share clearly above the target's get nothing.
  for (std::size_t b = 0; b < 64; ++b) {
    if (shareB[b] > 2.0 * shareT[b] + 0.002) {
      EXPECT_EQ(std::count(m.ind.begin(), m.ind.end(), static_cast<std::int32_t>(b)), 0) << "bin " << b;
    }
  }
}

TEST(FitModel, SecondDirectionFollowsSpreadDifference) {
  // Means differ along feature 0; along feature 3 the target is narrow and the background wide.
  const TFeatureSet target = Cloud(3000, {3.0, 0, 0, 0, 0, 0}, {1, 1, 1, 0.2, 1, 1}, 5);
  const TFeatureSet background = Cloud(3000, {0, 0, 0, 0, 0, 0}, {1, 1, 1, 3.0, 1, 1}, 6);
  TFitOptions o;
  o.M = 2;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  EXPECT_GT(std::abs(Cosine(RawDirection(m, 0), {1, 0, 0, 0, 0, 0})), 0.98);
  EXPECT_GT(std::abs(Cosine(RawDirection(m, 1), {0, 0, 0, 1, 0, 0})), 0.98);
  EXPECT_LT(rep.directions[1].targetSd, 0.5 * rep.directions[1].backgroundSd);
  EXPECT_GT(rep.directions[1].separation, rep.directions[0].separation * 0.5);
}

TEST(FitModel, PowerTermsSeparateClassesThatDifferOnlyInSpread) {
  // Same mean, different spread: no linear direction helps, the z^2 block does.
  const TFeatureSet target = Cloud(3000, {0, 0, 0}, {0.3, 1, 1}, 8);
  const TFeatureSet background = Cloud(3000, {0, 0, 0}, {2.0, 1, 1}, 9);
  TFitOptions o;
  o.M = 1;
  o.PowCount = 3;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  ExpectConsistentShapes(m, 3, o);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(m.w[0][j], 0.0) << "block 0 (z^0 = 1) carries no weight; the bias is x00";
  }
  // train::Project (the classifier's arithmetic) agrees with the direct formula.
  for (std::size_t i = 0; i < 50; ++i) {
    double y = 0.0;
    train::Project(m, target.Row(i), &y);
    EXPECT_NEAR(y, DirectProjection(m, target.Row(i))[0], 1e-9 * (1.0 + std::abs(y)));
  }
  // Uniform bins over the background's wide range are coarse near the target, so compare the evidence
  // (mean bin weight per vector) rather than bin membership.
  auto meanWeight = [&](const TFeatureSet &s) {
    double sum = 0.0;
    for (std::size_t i = 0; i < s.Count(); ++i) {
      sum += DirectWeight(m, DirectProjection(m, s.Row(i)));
    }
    return sum / static_cast<double>(s.Count());
  };
  EXPECT_GT(RewardedShare(m, Cloud(1000, {0, 0, 0}, {0.3, 1, 1}, 18)), 0.9);
  EXPECT_GT(meanWeight(Cloud(1000, {0, 0, 0}, {0.3, 1, 1}, 18)),
            2.0 * meanWeight(Cloud(1000, {0, 0, 0}, {2.0, 1, 1}, 19)));
}

TEST(FitModel, EdgeTableHoldsAscendingClassBalancedQuantiles) {
  const TFeatureSet target = Cloud(2000, {1.5, 0, 0, 0}, {1, 1, 1, 1}, 21);
  const TFeatureSet background = Cloud(6000, {0, 0, 0, 0}, {1, 1, 2, 1}, 22);
  TFitOptions o;
  o.M = 2;
  o.NM = 10;
  o.edges = true;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  ExpectConsistentShapes(m, 4, o);
  const std::size_t stride = static_cast<std::size_t>(o.NM) + 1;
  for (std::size_t k = 0; k < 2; ++k) {
    const double *e = m.mh.data() + k * stride;
    EXPECT_EQ(e[0], m.aabb[k]);
    // Above the classifier's widened upper bound, so no in-bounds value gets index NM.
    EXPECT_GT(e[o.NM], m.aabb[2 + k] + 1e-10);
    for (int i = 1; i <= o.NM; ++i) {
      EXPECT_LT(e[i - 1], e[i]);
    }
    // Each class contributes half of the mass; each bin holds about 1 / NM of it.
    for (int i = 0; i < o.NM; ++i) {
      double mass = 0.0;
      for (const TFeatureSet *s : {&target, &background}) {
        for (std::size_t r = 0; r < s->Count(); ++r) {
          const double y = DirectProjection(m, s->Row(r))[k];
          if (y > e[i] && y <= e[i + 1]) {
            mass += 0.5 / static_cast<double>(s->Count());
          }
        }
      }
      EXPECT_NEAR(mass, 1.0 / o.NM, 0.02) << "dimension " << k << " bin " << i;
    }
  }
  // Out-of-bounds values count in bin NM - 1 of their dimension, as the classifier counts them.
  std::vector<double> far = {1e6, -1e6};
  EXPECT_EQ(train::BinIndex(m, far.data(), true), (o.NM - 1) + (o.NM - 1) * o.NM);
  EXPECT_EQ(train::BinIndex(m, far.data(), false), -1);
}

TEST(FitModel, ConstantFeatureGetsUnitDivisorAndNoWeight) {
  TFeatureSet target = Cloud(1000, {1, 0, 5}, {1, 1, 0}, 31);
  TFeatureSet background = Cloud(1000, {0, 0, 5}, {1, 1, 0}, 32);
  TFitOptions o;
  o.M = 2;
  TTrainModel m;
  TFitReport rep;
  std::string error;
  ASSERT_TRUE(train::FitModel(target, background, o, m, rep, error)) << error;
  EXPECT_EQ(m.minX[2], 1.0);
  EXPECT_EQ(rep.rank, 2U);
  for (const auto &row : m.w) {
    EXPECT_NEAR(row[2], 0.0, 1e-12);
    for (double v : row) {
      EXPECT_TRUE(std::isfinite(v));
    }
  }
}

TEST(FitModel, RefusesUnusableInput) {
  TFitReport rep;
  TTrainModel m;
  std::string error;
  const TFeatureSet good = Cloud(100, {0, 0}, {1, 1}, 41);
  const TFeatureSet other = Cloud(100, {1, 0}, {1, 1}, 42);
  TFitOptions o;

  EXPECT_FALSE(train::FitModel(TFeatureSet(2), other, o, m, rep, error));
  EXPECT_NE(error.find("too little data"), std::string::npos) << error;

  EXPECT_FALSE(train::FitModel(good, Cloud(100, {0, 0, 0}, {1, 1, 1}, 43), o, m, rep, error));
  EXPECT_FALSE(error.empty());

  TFeatureSet withNan = good;
  withNan.values[5] = std::nan("");
  EXPECT_FALSE(train::FitModel(withNan, other, o, m, rep, error));
  EXPECT_NE(error.find("finite"), std::string::npos) << error;

  // Every vector the same: no direction to project on.
  const TFeatureSet flat = Cloud(100, {3, 3}, {0, 0}, 44);
  EXPECT_FALSE(train::FitModel(flat, flat, o, m, rep, error));
  EXPECT_NE(error.find("independent directions"), std::string::npos) << error;

  // More projected dimensions than features.
  o.M = 3;
  EXPECT_FALSE(train::FitModel(good, other, o, m, rep, error));

  o = TFitOptions{};
  o.NM = 64;
  o.M = 5; // 2^30 bins
  EXPECT_NE(train::CheckFitOptions(o).find("too large"), std::string::npos);
  o = TFitOptions{};
  o.NM = 1;
  EXPECT_FALSE(train::CheckFitOptions(o).empty());
  o = TFitOptions{};
  o.PowCount = 0;
  EXPECT_FALSE(train::CheckFitOptions(o).empty());
  EXPECT_TRUE(train::CheckFitOptions(TFitOptions{}).empty());
}

TEST(RocAuc, MatchesPairCountWithTies) {
  std::mt19937 gen(51);
  for (std::size_t size : {1U, 7U, 100U}) {
    std::vector<double> t, b;
    std::uniform_int_distribution<int> level(0, 9); // coarse levels force ties
    for (std::size_t i = 0; i < size; ++i) {
      t.push_back(level(gen) + 2);
      b.push_back(level(gen));
    }
    b.push_back(3.0);
    double wins = 0.0;
    for (double x : t) {
      for (double y : b) {
        wins += x > y ? 1.0 : (x == y ? 0.5 : 0.0);
      }
    }
    EXPECT_NEAR(train::RocAuc(t, b), wins / static_cast<double>(t.size() * b.size()), 1e-12);
  }
  EXPECT_EQ(train::RocAuc({1, 2}, {}), 0.5);
  EXPECT_EQ(train::RocAuc({2, 3}, {0, 1}), 1.0);
}

TEST(RecommendBorder, GivesBestDetectionWithinFalseAlarmLimit) {
  std::mt19937 gen(61);
  std::normal_distribution<double> nd(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<double> t, b;
    for (int i = 0; i < 150; ++i)
      t.push_back(std::max(0.0, 3.0 + nd(gen)));
    for (int i = 0; i < 480; ++i)
      b.push_back(std::max(0.0, 1.0 + nd(gen)));
    for (double limit : {0.0, 0.01, 0.05}) {
      const double border = train::RecommendBorder(t, b, limit);
      const train::TRates r = train::RatesAt(t, b, border);
      EXPECT_LE(r.falseAlarm, limit + 1e-12);
      EXPECT_GT(border, 0.0);
      EXPECT_EQ(std::count(t.begin(), t.end(), border) + std::count(b.begin(), b.end(), border), 0)
          << "the border lies between scores";
      // Brute force over every score as a candidate border: none meets the limit with more detections, or
      // with as many detections and fewer false alarms.
      for (const auto *list : {&t, &b}) {
        for (double cand : *list) {
          const train::TRates c = train::RatesAt(t, b, cand);
          if (c.falseAlarm <= limit + 1e-12 && cand > 0.0) {
            EXPECT_LE(c.detection, r.detection + 1e-12) << "candidate " << cand << " beats " << border;
            if (c.detection == r.detection) {
              EXPECT_GE(c.falseAlarm, r.falseAlarm) << "candidate " << cand << " beats " << border;
            }
          }
        }
      }
    }
  }
}

TEST(RecommendBorder, StaysPositiveAndAboveEveryScoreWhenNoneMayPass) {
  EXPECT_GT(train::RecommendBorder({0, 0}, {0, 0, 0}, 0.01), 0.0);
  const double border = train::RecommendBorder({1.0, 2.0}, {5.0, 4.0}, 0.0);
  EXPECT_GT(border, 5.0);
  // Clean separation: the border falls midway in the gap, even when false alarms would be allowed.
  EXPECT_DOUBLE_EQ(train::RecommendBorder({3.0, 4.0}, {1.0, 2.0}, 0.0), 2.5);
  std::vector<double> bg(200, 1.0);
  bg.push_back(2.0);
  EXPECT_DOUBLE_EQ(train::RecommendBorder({3.0, 4.0}, bg, 0.01), 2.5);
  // Target scores among the background: the limit decides, then the gap below the lowest detected target.
  EXPECT_DOUBLE_EQ(train::RecommendBorder({0.5, 3.0, 4.0}, {1.0, 1.0, 2.5, 3.5}, 0.25), 2.75);
}

TEST(ChooseHoldout, HoldsOutWholeRecordingsDeterministically) {
  EXPECT_TRUE(train::ChooseHoldout(0, 0.25, 1).empty());
  EXPECT_TRUE(train::ChooseHoldout(1, 0.25, 1).empty());
  EXPECT_TRUE(train::ChooseHoldout(10, 0.0, 1).empty());
  EXPECT_EQ(train::ChooseHoldout(4, 0.01, 1).size(), 1U);
  EXPECT_EQ(train::ChooseHoldout(4, 0.99, 1).size(), 3U);
  const auto a = train::ChooseHoldout(20, 0.25, 7);
  ASSERT_EQ(a.size(), 5U);
  EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
  EXPECT_EQ(std::set<std::size_t>(a.begin(), a.end()).size(), a.size());
  EXPECT_LT(a.back(), 20U);
  EXPECT_EQ(train::ChooseHoldout(20, 0.25, 7), a);
  bool differs = false;
  for (std::uint32_t seed = 8; seed < 12; ++seed) {
    differs = differs || train::ChooseHoldout(20, 0.25, seed) != a;
  }
  EXPECT_TRUE(differs);
}

// Largest deviation of the resampled sine from the exact sine at the output instants, away from the ends.
double SineError(double inRate, double outRate, double freq, double *amplitudeOut = nullptr) {
  const auto count = static_cast<std::size_t>(inRate / 2);
  std::vector<double> in(count);
  for (std::size_t i = 0; i < count; ++i) {
    in[i] = std::sin(2.0 * std::numbers::pi * freq * static_cast<double>(i) / inRate);
  }
  const train::TSincResampler rs(inRate, outRate);
  const std::vector<double> out = rs.Process(in);
  EXPECT_EQ(out.size(), static_cast<std::size_t>(std::floor((count - 1) * outRate / inRate)) + 1);
  const double margin = (rs.HalfWidth() + 2) * outRate / inRate;
  double worst = 0.0;
  double peak = 0.0;
  const auto skip = static_cast<std::size_t>(margin);
  for (std::size_t n = skip; n + skip < out.size(); ++n) {
    const double exact = std::sin(2.0 * std::numbers::pi * freq * static_cast<double>(n) / outRate);
    worst = std::max(worst, std::abs(out[n] - exact));
    peak = std::max(peak, std::abs(out[n]));
  }
  if (amplitudeOut != nullptr) {
    *amplitudeOut = peak;
  }
  return worst;
}

TEST(TSincResampler, KeepsPassBandTonesAcrossRates) {
  EXPECT_LT(SineError(48000, 37500, 3000), 1e-3);
  EXPECT_LT(SineError(48000, 37500, 15000), 1e-3);
  EXPECT_LT(SineError(22050, 37500, 5000), 1e-3);
  EXPECT_LT(SineError(44100, 37500, 440), 1e-3);
  EXPECT_LT(SineError(96000, 37500, 9000), 1e-3);
}

TEST(TSincResampler, RemovesTonesAboveTheNewNyquistRate) {
  double amplitude = 1.0;
  SineError(48000, 37500, 20000, &amplitude);
  EXPECT_LT(amplitude, 1e-3);
}

TEST(TSincResampler, EmptyInputGivesEmptyOutput) {
  EXPECT_TRUE(train::TSincResampler(44100, 37500).Process({}).empty());
  EXPECT_EQ(train::TSincResampler(44100, 37500).Process({1.0}).size(), 1U);
}

// A manifest shaped like scripts/make_training's: two folds of flights, mixed versions of them with a
// background of the same fold, eval scenes per fold and material outside cross-validation.
constexpr const char *kManifest = R"(# class role fold groups category path
target train 0 sv_drone_001 flight /w/a_sv_drone_001_1.wav
target train 0 sv_drone_001+sv_background_001 flight /w/a_sv_drone_001_2.wav
target eval 0 sv_drone_001 flight /w/e_sv_drone_001.wav
target eval 0 sv_drone_001+sv_background_001 flight+bg6 /w/e_sv_drone_001_bg.wav
background train 0 sv_background_001 outdoor /w/a_sv_background_001_1.wav
background eval 0 sv_background_001 outdoor /w/e_sv_background_001.wav

target train 1 sv_drone_003+sv_background_003 flight /w/a_sv_drone_003_1.wav
target eval 1 sv_drone_003 flight /w/e_sv_drone_003.wav
background train 1 sv_background_003 outdoor /w/a_sv_background_003_1.wav
background eval 1 sv_background_003 outdoor /w/e_sv_background_003.wav
target train - sd01 virtual-drone /w/sd01.wav
background train - b05 free-background /w/b05 motorbike.flac
background eval - b10 report-background /w/e_b10.wav
)";

TEST(Manifest, ParsesFieldsAndKeepsPathsWithSpaces) {
  std::vector<train::TManifestEntry> m;
  std::string error;
  ASSERT_TRUE(train::ParseManifest(kManifest, m, error)) << error;
  ASSERT_EQ(m.size(), 13U);
  EXPECT_TRUE(m[1].target);
  EXPECT_TRUE(m[1].train);
  EXPECT_EQ(m[1].fold, 0);
  EXPECT_EQ(m[1].groups, (std::vector<std::string>{"sv_drone_001", "sv_background_001"}));
  EXPECT_EQ(m[3].category, "flight+bg6");
  EXPECT_EQ(m[3].line, 5);
  EXPECT_EQ(m[11].fold, -1);
  EXPECT_EQ(m[11].path, "/w/b05 motorbike.flac");
  EXPECT_EQ(train::FoldCount(m), 2);
}

// The property the figures rest on: for every fold, no recording feeds both its training and its evaluation.
TEST(Manifest, NoRecordingIsOnBothSidesOfAnyFold) {
  std::vector<train::TManifestEntry> m;
  std::string error;
  ASSERT_TRUE(train::ParseManifest(kManifest, m, error)) << error;
  for (int k = -1; k < train::FoldCount(m); ++k) {
    std::set<std::string> trained;
    for (std::size_t i : train::TrainingOf(m, k)) {
      EXPECT_TRUE(m[i].train);
      trained.insert(m[i].groups.begin(), m[i].groups.end());
    }
    const auto eval = train::EvaluationOf(m, k);
    EXPECT_FALSE(eval.empty()) << "fold " << k;
    for (std::size_t i : eval) {
      EXPECT_FALSE(m[i].train);
      for (const auto &g : m[i].groups) {
        EXPECT_EQ(trained.count(g), 0U) << g << " trains and is evaluated in fold " << k;
      }
    }
  }
  // The final model trains on every train line, '-' included.
  EXPECT_EQ(train::TrainingOf(m, -1).size(), 7U);
  EXPECT_EQ(train::TrainingOf(m, 0).size(), 4U);
}

TEST(Manifest, RefusesLeaksAndMalformedLinesWithTheLineNumber) {
  struct TCase {
    std::string text;
    const char *message;
  };
  const std::string good = "target train 0 a flight /a\ntarget eval 0 a flight /ea\n"
                           "background train 1 b outdoor /b\nbackground eval 1 b outdoor /eb\n";
  const std::vector<TCase> cases = {
      // A mix made of a fold-1 background, filed under fold 0: fold 1's evaluation would hear its training.
      {good + "target train 0 a+b flight /ab\n", "recording b is in fold 1 (manifest line 3) and in fold 0 (line 5)"},
      {good + "target train - a flight /a2\n", "recording a is in fold 0 (manifest line 1) and in fold -"},
      {good + "drone train 0 a flight /x\n", "line 5: class must be target or background"},
      {good + "target test 0 a flight /x\n", "line 5: role must be train or eval"},
      {good + "target train 64 c flight /x\n", "line 5: fold must be 0 to 63"},
      {good + "target train x c flight /x\n", "line 5: fold must be"},
      {good + "target train 0 a flight\n", "line 5: needs CLASS ROLE FOLD GROUPS CATEGORY PATH"},
      {good + "target train 0 a  flight /x\n", "line 5: needs CLASS"},
      {good + "target train 0 a++c flight /x\n", "line 5: empty recording name"},
      {"target train 0 a flight /a\ntarget eval 0 a flight /ea\n", "only fold 0"},
      {good + "target train 3 c flight /c\ntarget eval 3 c flight /ec\n", "folds must be 0 to 3 without gaps"},
      {"target train 0 a flight /a\ntarget train 1 b flight /b\ntarget eval 1 b flight /eb\n",
       "fold 0 has no eval recording"},
      {"# nothing\n\n", "lists no recording"},
  };
  for (const TCase &tc : cases) {
    std::vector<train::TManifestEntry> m;
    std::string error;
    EXPECT_FALSE(train::ParseManifest(tc.text, m, error)) << tc.text;
    EXPECT_NE(error.find(tc.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  std::vector<train::TManifestEntry> m;
  std::string error;
  EXPECT_TRUE(train::ParseManifest(good + "\r\n# comment\n", m, error)) << error;
  // Without folds at all the list parses (the trainer then refuses to cross-validate it).
  EXPECT_TRUE(train::ParseManifest("target train - a x /a\nbackground eval - b x /b\n", m, error)) << error;
  EXPECT_EQ(train::FoldCount(m), 0);
}

} // namespace

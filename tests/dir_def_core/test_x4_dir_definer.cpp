#include "dir_def_core/x4_dir_definer.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

using dir_def_core::TX4DirDefiner;
using namespace ddc_test;

namespace {

const int kPairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
const std::vector<double> kNoGains(4, -1.0);

TX4DirDefiner MakeDefiner(int maxLag, bool pairRefine = false) {
  TX4DirDefiner d(pairRefine);
  d.SoundSpeed = kC;
  d.SampleRate = kFs;
  d.MaxLag = maxLag;
  return d;
}

TFrames DelayedCopies(const std::vector<double> &x, const std::vector<int> &taus) {
  TFrames f;
  f.reserve(taus.size());
  for (const int t : taus) {
    f.push_back(CircularDelay(x, t));
  }
  return f;
}

} // namespace

// Channel c is one noise frame delayed circularly by taus[c] whole samples, so pair (a, b) is delayed by
// taus[a] - taus[b]: the coarse lag is exactly that, and the refined delay that many samples in metres.
TEST(TX4DirDefiner, WholeSampleDelaysGiveTheirCoarseLagAndRefinedDelay) {
  const int n = 256;
  const std::vector<double> x = WhiteNoise(n, 11);
  for (const std::vector<int> &taus :
       {std::vector<int>{0, 0, 0, 0}, std::vector<int>{0, 4, -9, 10}, std::vector<int>{10, -10, 0, 0}}) {
    for (const bool refine : {false, true}) {
      TX4DirDefiner def = MakeDefiner(20, refine);
      std::vector<double> delays, weights;
      def.CovR_2(DelayedCopies(x, taus), n, delays, weights, kNoGains);
      ASSERT_EQ(delays.size(), 6u);
      for (int p = 0; p < 6; ++p) {
        const int a = kPairs[p][0];
        const int b = kPairs[p][1];
        const int lag = taus[static_cast<std::size_t>(a)] - taus[static_cast<std::size_t>(b)];
        EXPECT_EQ(def.CoarseLags()[a][b], lag) << taus[1] << " pair " << p;
        EXPECT_EQ(def.CoarseLags()[b][a], -lag);
        // The designed beams use a phase step over N - 1, which leaves a small residue.
        EXPECT_NEAR(delays[static_cast<std::size_t>(p)], lag * kC / kFs, refine ? 1e-12 : 0.05 * kC / kFs);
      }
    }
  }
}

TEST(TX4DirDefiner, SearchMaxGrReturnsTheDelayOfASymmetricPeak) {
  const int n = 128;
  TX4DirDefiner def = MakeDefiner(20);
  const std::vector<double> b = WhiteNoise(n, 13);
  const auto sb = DirectDft(b);
  for (const int d : {0, 1, -7, 20, -20}) {
    auto cross = DirectDft(CircularDelay(b, d));
    for (std::size_t k = 0; k < cross.size(); ++k) {
      cross[k] *= std::conj(sb[k]);
    }
    EXPECT_NEAR(def.Search_Max_GR(cross, n / 2, 20), d * kC / kFs, 1e-12) << d;
  }
}

TEST(TX4DirDefiner, WeightsAreEnergySharesAndGainsChangeOnlyThem) {
  const int n = 64;
  TFrames frames = DelayedCopies(WhiteNoise(n, 14), {0, 1, 2, 3});
  for (std::size_t c = 0; c < 4; ++c) {
    for (auto &v : frames[c]) {
      v *= double(c + 1);
    }
  }
  TX4DirDefiner def = MakeDefiner(10);
  std::vector<double> d1, w1, d2, w2;
  const std::vector<double> gains{2.0, -1.0, 0.0, 0.5};
  def.CovR_2(frames, n, d1, w1, kNoGains);
  def.CovR_2(frames, n, d2, w2, gains);
  EXPECT_EQ(d1, d2);
  for (const auto &[w, g] : {std::pair{w1, kNoGains}, std::pair{w2, gains}}) {
    double e[4];
    double tot = 0;
    for (std::size_t c = 0; c < 4; ++c) {
      e[c] = 0;
      for (const double v : frames[c]) {
        e[c] += v * v / n;
      }
      e[c] *= g[c] > 0 ? g[c] : 1.0;
      tot += e[c];
    }
    for (int p = 0; p < 6; ++p) {
      EXPECT_NEAR(w[static_cast<std::size_t>(p)], (e[kPairs[p][0]] + e[kPairs[p][1]]) / tot, 1e-14) << p;
    }
  }
}

TEST(TX4DirDefiner, RejectsUnusableFrameSizesAndWindows) {
  std::vector<double> delays, weights;
  const auto framesOf = [](int n) { return TFrames(4, WhiteNoise(static_cast<std::size_t>(n), 1)); };
  TX4DirDefiner def = MakeDefiner(2);
  for (const int n : {4, 12, -8}) {
    try {
      def.CovR_2(framesOf(std::max(n, 0)), n, delays, weights, kNoGains);
      ADD_FAILURE() << n;
    } catch (const std::length_error &e) {
      EXPECT_STREQ(e.what(), "invalid FFT size");
    }
  }
  EXPECT_THROW(def.Search_Max_GR(std::vector<std::complex<double>>(12), 6, 0), std::length_error);
  // N = 8 is a valid transform size, but no lag window with its 11-point table fits in it.
  EXPECT_THROW(def.CovR_2(framesOf(8), 8, delays, weights, kNoGains), std::invalid_argument);
  def.CovR_2(framesOf(16), 16, delays, weights, kNoGains); // 5 + 2 <= 16/2 - 1
  def.MaxLag = 3;
  EXPECT_THROW(def.CovR_2(framesOf(16), 16, delays, weights, kNoGains), std::invalid_argument);
  def.MaxLag = 2;
  EXPECT_THROW(def.CovR_2(TFrames(3, WhiteNoise(16, 1)), 16, delays, weights, kNoGains), std::invalid_argument);
}

TEST(TX4DirDefiner, CachedPlansGiveTheSameNumbersAsFreshOnes) {
  TX4DirDefiner reused = MakeDefiner(20);
  for (const int n : {256, 512, 256, 128}) {
    const TFrames frames = TCosineSum(n, n / 6, static_cast<unsigned>(n)).Frames({0.0, 2.5, -3.25, 6.75});
    TX4DirDefiner fresh = MakeDefiner(20);
    std::vector<double> d1, w1, d2, w2;
    reused.CovR_2(frames, n, d1, w1, kNoGains);
    fresh.CovR_2(frames, n, d2, w2, kNoGains);
    EXPECT_EQ(d1, d2) << n;
    EXPECT_EQ(w1, w2) << n;
  }
}

// On the same frames the switch changes step 7 only: the coarse lags and the weights are identical. PairRefine
// off: the designed delays, each pair refined over the whole window on the cross-spectrum of the two beams built
// from the whole-sample lags (phase step -2 pi k / (N - 1)); the beams are rebuilt here from direct DFTs. On:
// each pair refined on its own cross-spectrum, which recovers the fractional delays the beams lose.
TEST(TX4DirDefiner, PairRefineSwitchesOnlyTheCrossSpectrumOfTheRefinement) {
  const int n = 256;
  const std::vector<double> taus{0.0, 2.3, -4.6, 7.25};
  const TFrames frames = TCosineSum(n, 40, 21).Frames(taus);
  TX4DirDefiner designed = MakeDefiner(20, false);
  TX4DirDefiner refined = MakeDefiner(20, true);
  std::vector<double> dOff, wOff, dOn, wOn;
  designed.CovR_2(frames, n, dOff, wOff, kNoGains);
  refined.CovR_2(frames, n, dOn, wOn, kNoGains);
  EXPECT_EQ(wOff, wOn);
  EXPECT_EQ(designed.CoarseLags(), refined.CoarseLags());

  std::vector<std::vector<std::complex<double>>> s, beams(4, std::vector<std::complex<double>>(n));
  s.reserve(4);
  for (const auto &f : frames) {
    s.push_back(DirectDft(f));
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t c = 0; c < 4; ++c) {
        beams[r][k] += std::polar(1.0, -2 * kPi * double(k) / (n - 1) * designed.CoarseLags()[r][c]) * s[c][k];
      }
    }
  }
  double worstDesigned = 0; // samples
  for (int p = 0; p < 6; ++p) {
    const auto a = static_cast<std::size_t>(kPairs[p][0]);
    const auto b = static_cast<std::size_t>(kPairs[p][1]);
    std::vector<std::complex<double>> g(n);
    for (std::size_t k = 0; k < g.size(); ++k) {
      g[k] = beams[a][k] * std::conj(beams[b][k]);
    }
    const double trueDelay = (taus[a] - taus[b]) * kC / kFs;
    EXPECT_NEAR(dOff[static_cast<std::size_t>(p)], MakeDefiner(20).Search_Max_GR(g, n / 2, 20), 1e-6 * kC / kFs);
    EXPECT_NEAR(dOn[static_cast<std::size_t>(p)], trueDelay, 1e-4 * kC / kFs) << p;
    worstDesigned = std::max(worstDesigned, std::abs(dOff[static_cast<std::size_t>(p)] - trueDelay) * kFs / kC);
  }
  EXPECT_GT(worstDesigned, 0.1);
}

// An interferer common to channels 0 and 3 only (20 samples apart, twice the source's energy, in bins above the
// source's so that it correlates with nothing else) wins pair (0, 3)'s own correlation peak. The coarse lag keeps
// that peak, as designed; with PairRefine the refined search is centred on the lag the two other paths agree on
// and finds the source's fractional delay.
TEST(TX4DirDefiner, PairRefineCentresOnTheConsensusLagWhenOnePairPeaksOnNoise) {
  const int n = 1024;
  const std::vector<double> taus{0.0, 2.3, -4.6, 7.25};
  TFrames frames = TCosineSum(n, 200, 5).Frames(taus);
  double sourceEnergy = 0;
  for (const double v : frames[0]) {
    sourceEnergy += v * v;
  }
  // Hann-shaped spectrum over bins 260..500: a compact correlation peak with negligible far sidelobes.
  std::vector<double> z(n), zEarly(n);
  std::mt19937 gen(6);
  std::uniform_real_distribution<double> u(0.0, 2 * kPi);
  for (int k = 260; k <= 500; ++k) {
    const double amp = std::pow(std::sin(kPi * (k - 260) / 240.0), 2);
    const double phase = u(gen);
    for (int i = 0; i < n; ++i) {
      z[static_cast<std::size_t>(i)] += amp * std::cos(2 * kPi * k * i / n + phase);
      zEarly[static_cast<std::size_t>(i)] += amp * std::cos(2 * kPi * k * (i + 20) / n + phase);
    }
  }
  double zEnergy = 0;
  for (const double v : z) {
    zEnergy += v * v;
  }
  const double g = std::sqrt(2 * sourceEnergy / zEnergy);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    frames[0][i] += g * z[i];
    frames[3][i] += g * zEarly[i];
  }
  TX4DirDefiner def = MakeDefiner(24, true);
  std::vector<double> delays, weights;
  def.CovR_2(frames, n, delays, weights, kNoGains);
  EXPECT_EQ(def.CoarseLags()[0][3], 20);
  for (int p = 0; p < 6; ++p) {
    const auto a = static_cast<std::size_t>(kPairs[p][0]);
    const auto b = static_cast<std::size_t>(kPairs[p][1]);
    EXPECT_EQ(def.ConsensusLag(kPairs[p][0], kPairs[p][1]), std::lround(taus[a] - taus[b])) << p;
    EXPECT_NEAR(delays[static_cast<std::size_t>(p)] * kFs / kC, taus[a] - taus[b], 0.01) << p;
  }
}

// Two correlation peaks, at lags -15 (larger) and 7: the window centred on lag 0 finds -15, a window of one lag
// either side of 7 finds 7; a window that with its Lagrange table leaves the correlation is refused.
TEST(TX4DirDefiner, SearchMaxGrSearchesAroundTheCentreLag) {
  const int n = 128;
  const std::vector<double> b = WhiteNoise(n, 17);
  const std::vector<double> early = CircularDelay(b, -15);
  const std::vector<double> late = CircularDelay(b, 7);
  std::vector<double> a(b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = early[i] + 0.5 * late[i];
  }
  auto cross = DirectDft(a);
  const auto sb = DirectDft(b);
  for (std::size_t k = 0; k < cross.size(); ++k) {
    cross[k] *= std::conj(sb[k]);
  }
  TX4DirDefiner def = MakeDefiner(20);
  EXPECT_NEAR(def.Search_Max_GR(cross, n / 2, 20) * kFs / kC, -15, 0.05);
  EXPECT_NEAR(def.Search_Max_GR(cross, n / 2, 1, 7) * kFs / kC, 7, 0.05);
  EXPECT_NEAR(def.Search_Max_GR(cross, n / 2, 3, 6) * kFs / kC, 7, 0.05);
  // Lag 0 sits at index 63: lags 57..59 with the table up to lag 64 reach index 127, the last.
  EXPECT_NO_THROW(def.Search_Max_GR(cross, n / 2, 1, 58));
  EXPECT_THROW(def.Search_Max_GR(cross, n / 2, 1, 59), std::invalid_argument);
  EXPECT_THROW(def.Search_Max_GR(cross, n / 2, 20, -39), std::invalid_argument);
  EXPECT_THROW(def.Search_Max_GR(cross, n / 2 - 1, 20), std::invalid_argument);
}

// The peak polynomial against the plain product formula sum_l y_l prod_{m != l} (x - x_m) / (l - m), at many
// points across the nodes and between them, for several value sets and offsets: within 1e-12 of max |y|.
TEST(TLagrangePeak, MatchesTheProductFormula) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (const double scale : {1.0, 1e-6, 4e5}) {
    for (const double x0 : {-5.0, -29.0, 17.0}) {
      double y[11];
      double peak = 0;
      for (double &v : y) {
        v = scale * u(gen);
        peak = std::max(peak, std::abs(v));
      }
      const dir_def_core::TLagrangePeak poly(y, x0);
      for (int i = 0; i <= 400; ++i) {
        const double x = x0 + 10.0 * i / 400.0;
        double plain = 0;
        for (int l = 0; l <= 10; ++l) {
          double prod = 1;
          for (int m = 0; m <= 10; ++m) {
            if (m != l) {
              prod *= (x - (x0 + m)) / double(l - m);
            }
          }
          plain += y[l] * prod;
        }
        ASSERT_NEAR(poly(x), plain, 1e-12 * peak) << scale << " " << x0 << " " << x;
      }
    }
  }
}

// The side-by-side searches against the one-at-a-time search, bit for bit: smooth peaks (the station's case),
// noise (the branches go every way), ties, a flat and a NaN correlation, every count of queries up to two full
// vectors, and the windows of both refinement modes.
TEST(RefinePeaks, GiveTheValuesOfTheSingleSearch) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::size_t n = 256;
  std::vector<std::vector<double>> corr(17, std::vector<double>(n));
  for (std::size_t q = 0; q < corr.size(); ++q) {
    const double at = u(gen) * 20.0; // a peak within the window
    for (std::size_t i = 0; i < n; ++i) {
      const double lag = i < n / 2 ? double(i) : double(i) - double(n);
      corr[q][i] = q % 3 == 0 ? u(gen) : std::exp(-0.02 * (lag - at) * (lag - at)) + 1e-3 * u(gen);
    }
  }
  std::fill(corr[4].begin(), corr[4].end(), 2.5);
  corr[7][3] = std::numeric_limits<double>::quiet_NaN();
  corr[7][5] = corr[7][4] = corr[7][2];
  for (std::size_t count = 1; count <= corr.size(); ++count) {
    std::vector<dir_def_core::TPeakQuery> queries;
    for (std::size_t q = 0; q < count; ++q) {
      const int width = q % 2 == 0 ? 24 : 1;
      const int centre = width == 24 ? 0 : static_cast<int>(q % 7) - 3;
      queries.push_back({corr[q].data(), n, width, centre});
    }
    std::vector<double> got(count);
    dir_def_core::RefinePeaks(queries.data(), count, got.data());
    for (std::size_t q = 0; q < count; ++q) {
      const double want = dir_def_core::RefinePeak(corr[q].data(), n, queries[q].Width, queries[q].Centre);
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got[q])) << count << " queries, query " << q;
      } else {
        EXPECT_EQ(got[q], want) << count << " queries, query " << q;
      }
    }
  }
}

// CovR_2 transforms two frames per complex FFT and two cross-spectra per inverse; against the plain path: the
// coarse lags are the maxima of the time-domain circular correlations sum_n x_a[n + L] x_b[n], and with
// PairRefine each delay is Search_Max_GR on the pair's cross-spectrum from direct DFTs (within 1e-6 samples,
// as for the beams). Several sizes, fractional delays, noise.
TEST(TX4DirDefiner, PackedTransformsGiveThePlainCorrelationsAndDelays) {
  for (const int n : {64, 256, 1024}) {
    const int maxLag = std::min(20, n / 2 - 6);
    const std::vector<double> taus{0.0, 3.4, -6.7, 9.2};
    TFrames frames = TCosineSum(n, n / 5, 40u + unsigned(n)).Frames(taus);
    const std::vector<double> noise = WhiteNoise(4 * static_cast<std::size_t>(n), 5);
    for (std::size_t c = 0; c < 4; ++c) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        frames[c][i] += 0.3 * noise[c * static_cast<std::size_t>(n) + i];
      }
    }
    TX4DirDefiner def = MakeDefiner(maxLag, true);
    std::vector<double> delays, weights;
    def.CovR_2(frames, n, delays, weights, kNoGains);
    std::vector<std::vector<std::complex<double>>> s;
    for (const auto &f : frames) {
      s.push_back(DirectDft(f));
    }
    for (int p = 0; p < 6; ++p) {
      const auto a = static_cast<std::size_t>(kPairs[p][0]);
      const auto b = static_cast<std::size_t>(kPairs[p][1]);
      int best = -maxLag;
      double bestValue = -1e300;
      for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double r = 0;
        for (int i = 0; i < n; ++i) {
          r += frames[a][static_cast<std::size_t>(((i + lag) % n + n) % n)] * frames[b][static_cast<std::size_t>(i)];
        }
        if (r > bestValue) {
          bestValue = r;
          best = lag;
        }
      }
      EXPECT_EQ(def.CoarseLags()[a][b], best) << n << " pair " << p;
      std::vector<std::complex<double>> cross(static_cast<std::size_t>(n));
      for (std::size_t k = 0; k < cross.size(); ++k) {
        cross[k] = s[a][k] * std::conj(s[b][k]) / double(n) / double(n);
      }
      const int centre = std::clamp(def.ConsensusLag(int(a), int(b)), 1 - maxLag, maxLag - 1);
      EXPECT_NEAR(delays[static_cast<std::size_t>(p)], MakeDefiner(maxLag).Search_Max_GR(cross, n / 2, 1, centre),
                  1e-6 * kC / kFs)
          << n << " pair " << p;
    }
  }
}

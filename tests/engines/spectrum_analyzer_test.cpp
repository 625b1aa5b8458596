#include "engines/spectrum_analyzer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kN = TSpectrumAnalyzer::kFftSize;

// Straightforward O(N) evaluation of one bin of the unscaled forward DFT, x[0] the oldest sample.
std::complex<double> DirectDftBin(const std::vector<double> &x, int k) {
  std::complex<double> sum(0.0, 0.0);
  for (int n = 0; n < kN; ++n) {
    const double a = -2.0 * std::numbers::pi * static_cast<double>((static_cast<long>(k) * n) % kN) / kN;
    sum += x[static_cast<std::size_t>(n)] * std::complex<double>(std::cos(a), std::sin(a));
  }
  return sum;
}

// Feeds samples until a frame is reported; returns the number of samples pushed (the last one completed it).
long PushUntilFrame(TSpectrumAnalyzer &a, const std::vector<double> &x, std::size_t &pos) {
  long pushed = 0;
  while (pos < x.size()) {
    ++pushed;
    if (a.Push(x[pos++])) {
      return pushed;
    }
  }
  return -1;
}

} // namespace

TEST(TSpectrumAnalyzer, CheckBandAcceptsBinsInsideTheTransform) {
  EXPECT_EQ(TSpectrumAnalyzer::CheckBand(4000.0, 10000.0), "");
  EXPECT_EQ(TSpectrumAnalyzer::CheckBand(0.0, 31999.9), "");   // last bin 2047
  EXPECT_EQ(TSpectrumAnalyzer::CheckBand(4010.0, 4005.0), ""); // both truncate to bin 256
  EXPECT_EQ(TSpectrumAnalyzer::CheckBand(-10.0, 100.0), "");   // -0.64 truncates toward zero to bin 0
}

TEST(TSpectrumAnalyzer, CheckBandRefusesBinsOutsideTheTransformWithOneLine) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto &[lo, hi] : {std::pair{0.0, 32000.0}, std::pair{10000.0, 4000.0}, std::pair{-100.0, 4000.0},
                               std::pair{nan, 4000.0}, std::pair{4000.0, inf}, std::pair{1e300, 1e301}}) {
    const std::string reason = TSpectrumAnalyzer::CheckBand(lo, hi);
    EXPECT_FALSE(reason.empty()) << lo << ".." << hi;
    EXPECT_EQ(reason.find('\n'), std::string::npos);
    EXPECT_NE(reason.find("F_max"), std::string::npos) << reason;
    EXPECT_THROW(TSpectrumAnalyzer(lo, hi), std::invalid_argument);
  }
}

TEST(TSpectrumAnalyzer, BandSizesFollowTruncatedBins) {
  const TSpectrumAnalyzer wide(4000.0, 10000.0);
  EXPECT_EQ(wide.FirstBin(), 256);
  EXPECT_EQ(wide.LastBin(), 640);
  EXPECT_EQ(wide.Levels().size(), 385U);
  EXPECT_EQ(TSpectrumAnalyzer(5000.0, 5000.0).Levels().size(), 1U);
  const TSpectrumAnalyzer narrow(4000.0, 4015.6);
  EXPECT_EQ(narrow.FirstBin(), 256);
  EXPECT_EQ(narrow.LastBin(), 256);
}

TEST(TSpectrumAnalyzer, FirstFrameIn48thSampleOfSixthBlockThenEvery5120) {
  TSpectrumAnalyzer a(4000.0, 10000.0);
  std::vector<long> frameSamples; // 1-based count of the sample that completed each frame
  long count = 0;
  for (int block = 0; block < 20; ++block) {
    for (int i = 0; i < 400; ++i) {
      ++count;
      if (a.Push(1.0)) {
        frameSamples.push_back(count);
        if (frameSamples.size() == 1) {
          EXPECT_EQ(block, 5);
          EXPECT_EQ(i, 47);
        }
      }
    }
  }
  EXPECT_EQ(frameSamples, (std::vector<long>{2048, 2048 + 5120}));
}

// Runs of samples against sample-by-sample pushes: frames at the same samples with the same levels, whatever
// the runs (one sample, the station's 400, longer than a frame period).
TEST(TSpectrumAnalyzer, RunsOfSamplesGiveThePerSampleFrames) {
  std::mt19937 gen(9);
  std::normal_distribution<double> g(0.0, 500.0);
  std::vector<double> x(30000);
  for (double &v : x) {
    v = g(gen);
  }
  TSpectrumAnalyzer single(200.0, 8000.0);
  std::vector<std::size_t> wantAt;
  std::vector<std::vector<float>> want;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (single.Push(x[i])) {
      wantAt.push_back(i);
      want.push_back(single.Levels());
    }
  }
  for (const std::size_t run : {1UL, 400UL, 7000UL}) {
    TSpectrumAnalyzer block(200.0, 8000.0);
    std::vector<std::size_t> gotAt;
    std::vector<std::vector<float>> got;
    for (std::size_t i = 0; i < x.size();) {
      bool framed = false;
      i += block.PushSamples(x.data() + i, std::min(run, x.size() - i), framed);
      if (framed) {
        gotAt.push_back(i - 1);
        got.push_back(block.Levels());
      }
    }
    EXPECT_EQ(gotAt, wantAt) << "runs of " << run;
    EXPECT_EQ(got, want) << "runs of " << run;
  }
}

TEST(TSpectrumAnalyzer, CosineWithWholePeriodsGivesTenLog10OfHalfAmplitudeTimesN) {
  for (const int b : {256, 300, 640}) {
    const double amplitude = 1234.5;
    TSpectrumAnalyzer a(4000.0, 10000.0);
    std::vector<double> x(kN);
    for (int n = 0; n < kN; ++n) {
      x[static_cast<std::size_t>(n)] = amplitude * std::cos(2.0 * std::numbers::pi * b * n / kN);
    }
    std::size_t pos = 0;
    ASSERT_EQ(PushUntilFrame(a, x, pos), kN);
    const auto at = static_cast<std::size_t>(b - a.FirstBin());
    EXPECT_NEAR(a.Levels()[at], 10.0 * std::log10(amplitude * 1024.0), 1e-4) << "b=" << b;
    // Every other bin of the band is numerically empty, far below the tone.
    for (std::size_t k = 0; k < a.Levels().size(); ++k) {
      if (k != at) {
        EXPECT_LT(a.Levels()[k], a.Levels()[at] - 60.0F) << "k=" << k;
      }
    }
  }
}

TEST(TSpectrumAnalyzer, LevelsMatchDirectDftOfTheLast2048SamplesBeforeEachFrame) {
  // The second frame sees only the last 2048 of the 5120 samples since the first; the 3072 before are ignored.
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1000.0);
  std::vector<double> x(2048 + 5120);
  for (double &v : x) {
    v = noise(rng);
  }
  TSpectrumAnalyzer a(1000.0, 20000.0);
  std::size_t pos = 0;
  ASSERT_EQ(PushUntilFrame(a, x, pos), 2048);
  ASSERT_EQ(PushUntilFrame(a, x, pos), 5120);
  const std::vector<double> window(x.end() - kN, x.end());
  for (int k = a.FirstBin(); k <= a.LastBin(); k += 7) {
    const double expected = 10.0 * std::log10(std::abs(DirectDftBin(window, k)));
    // Float levels of about 40 dB carry about 1e-5 dB of rounding.
    EXPECT_NEAR(a.Levels()[static_cast<std::size_t>(k - a.FirstBin())], expected, 1e-4) << "k=" << k;
  }
}

TEST(TSpectrumAnalyzer, SilenceGivesNegativeInfinity) {
  TSpectrumAnalyzer a(4000.0, 10000.0);
  const std::vector<double> x(2048, 0.0);
  std::size_t pos = 0;
  ASSERT_EQ(PushUntilFrame(a, x, pos), 2048);
  for (const float level : a.Levels()) {
    EXPECT_TRUE(std::isinf(level) && level < 0.0F);
  }
}

#include "dir_def_core/moving_averanger.h"
#include "dir_def_core/preprocessor.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using ddc_test::kPi;
using dir_def_core::TFramer;
using dir_def_core::TLowPassFilter;

TEST(TLowPassFilter, ImpulseResponseIsTheClosedFormTapsNewestFirst) {
  struct Case {
    double fLow, fHigh, fs;
  };
  for (const Case &c : {Case{4000, 20000, 37500}, Case{0, 10000, 48000}, Case{5000, 5000, 37500}}) {
    // h[n] = w(n) (sin(2 pi gH x) - sin(2 pi gL x)) / (pi x), 2 (gH - gL) at x = 0; g = f / (2 fs), x = n - 38,
    // Blackman-Nuttall window over 76 intervals.
    const double gH = c.fHigh / (2 * c.fs);
    const double gL = c.fLow / (2 * c.fs);
    TLowPassFilter f(c.fLow, c.fHigh, c.fs);
    for (int i = 0; i < 100; ++i) {
      const int n = 76 - i;
      double h = 0.0;
      if (n >= 0) {
        const double x = n - 38;
        const double t = 2 * kPi * n / 76.0;
        const double w =
            0.3635819 - 0.4891775 * std::cos(t) + 0.1365995 * std::cos(2 * t) - 0.0106411 * std::cos(3 * t);
        h = w * (x == 0 ? 2 * (gH - gL) : (std::sin(2 * kPi * gH * x) - std::sin(2 * kPi * gL * x)) / (kPi * x));
      }
      EXPECT_NEAR(f.Filter(i == 0 ? 1.0 : 0.0), h, 1e-15) << c.fHigh << " output " << i;
    }
  }
}

TEST(TFramer, EmitsFirstFrameAfterFrameLenThenEveryHop) {
  struct Case {
    int len, hop;
    std::vector<int> emitAt; // 1-based sample numbers
  };
  for (const Case &c : {Case{8, 4, {8, 12, 16, 20}}, Case{9, 4, {9, 13, 17, 21}}}) {
    TFramer framer(c.len, c.hop);
    std::vector<int> emitted;
    std::vector<double> frame;
    for (int s = 1; s <= 22; ++s) {
      frame.clear();
      if (!framer.Push(s, frame)) {
        EXPECT_TRUE(frame.empty());
        continue;
      }
      emitted.push_back(s);
      ASSERT_EQ(frame.size(), static_cast<std::size_t>(c.len));
      for (int i = 0; i < c.len; ++i) {
        EXPECT_EQ(frame[static_cast<std::size_t>(i)], s - c.len + 1 + i); // oldest first
      }
    }
    EXPECT_EQ(emitted, c.emitAt);
  }
  EXPECT_THROW(TFramer(8, 9), std::invalid_argument);
}

TEST(TUniversalPreprocessor, DeliversFilteredFramesOfAllChannelsInLockStep) {
  dir_def_core::TUniversalPreprocessor pre;
  pre.Init(4, 8, 4, 4000, 20000, 37500);
  std::vector<TLowPassFilter> ref(4, TLowPassFilter(4000, 20000, 37500));
  ddc_test::TFrames filtered(4);
  ddc_test::TFrames frames(4);
  for (int s = 1; s <= 40; ++s) {
    double in[4];
    for (std::size_t c = 0; c < 4; ++c) {
      in[c] = std::sin(0.7 * s + double(c)) * double(c + 1);
      filtered[c].push_back(ref[c].Filter(in[c]));
    }
    const bool ready = pre.PushSample(in, frames);
    EXPECT_EQ(ready, s >= 8 && s % 4 == 0) << s;
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_EQ(frames[c],
                ready ? std::vector<double>(filtered[c].end() - 8, filtered[c].end()) : std::vector<double>{});
    }
  }
  EXPECT_GE(frames[0].capacity(), 8u); // emptied, not released
}

TEST(TMovingAveranger, ReportsOneMeanPerBlock) {
  TMovingAveranger avg(3);
  std::vector<double> means;
  for (int v = 1; v <= 6; ++v) {
    double mean = -1;
    if (avg.Push(v, mean)) {
      means.push_back(mean);
      EXPECT_EQ(v % 3, 0);
    }
  }
  EXPECT_EQ(means, (std::vector<double>{2.0, 5.0}));
  EXPECT_THROW(TMovingAveranger(0), std::invalid_argument);
}

TEST(TAngleAveranger, AveragesAcrossTheWrapNear270Degrees) {
  const double deg = kPi / 180;
  struct Case {
    std::vector<double> degrees;
    double expected;
  };
  // Near 270 degrees single values flip between about -90 and 270. Whichever comes first, the mean is the same
  // direction (a plain mean gives about 90), reported in (-90, 270]; without a crossing it is the plain mean.
  for (const Case &c : {Case{{268, -89, 269, -92}, 269.0}, Case{{-89, 269, -91, 272}, -89.75},
                        Case{{-88, -89, -93, -94}, 269.0}, Case{{10, 20, 30, 40}, 25.0}}) {
    TAngleAveranger avg(4);
    double mean = 0;
    bool ready = false;
    for (const double v : c.degrees) {
      ready = avg.Push(v * deg, mean);
    }
    ASSERT_TRUE(ready);
    EXPECT_NEAR(mean / deg, c.expected, 1e-9) << c.degrees[0];
  }
}

namespace {

// y[n] = sum_m h[m] x[n - 76 + m] with zeros before the first sample: the direct form, written out.
std::vector<double> DirectFir(const std::vector<double> &h, const std::vector<double> &x) {
  std::vector<double> y(x.size(), 0.0);
  for (std::size_t n = 0; n < x.size(); ++n) {
    for (std::size_t m = 0; m < h.size(); ++m) {
      const long i = static_cast<long>(n) - static_cast<long>(h.size() - 1) + static_cast<long>(m);
      if (i >= 0) {
        y[n] += h[m] * x[static_cast<std::size_t>(i)];
      }
    }
  }
  return y;
}

double Peak(const std::vector<double> &x) {
  double p = 0;
  for (const double v : x) {
    p = std::max(p, std::abs(v));
  }
  return p;
}

} // namespace

// The block entry point against the direct form, over blocks shorter and longer than its internal pass and
// lengths that are not multiples of its tile: within 1e-12 of the signal's peak, and identical to pushing the
// same samples one at a time.
TEST(TLowPassFilter, BlockFilterIsTheDirectFormAndEqualsPerSampleFiltering) {
  for (const std::size_t block : {std::size_t{1}, std::size_t{31}, std::size_t{512}, std::size_t{700}}) {
    for (const unsigned seed : {1u, 2u}) {
      const std::vector<double> x = ddc_test::WhiteNoise(3000, seed);
      TLowPassFilter perSample(4000, 20000, 37500);
      TLowPassFilter blockwise(4000, 20000, 37500);
      const std::vector<double> ref = DirectFir(blockwise.Taps(), x);
      std::vector<double> y(x.size());
      for (std::size_t i = 0; i < x.size(); i += block) {
        blockwise.Filter(x.data() + i, std::min(block, x.size() - i), y.data() + i);
      }
      const double tol = 1e-12 * Peak(x);
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_NEAR(y[i], ref[i], tol) << block << " sample " << i;
        ASSERT_EQ(y[i], perSample.Filter(x[i])) << block << " sample " << i;
      }
    }
  }
}

// Frames of the preprocessor against the direct form of the whole stream, for hops below, at and above the
// filter's internal pass and frames longer than it.
TEST(TUniversalPreprocessor, FramesAreTheDirectFormOfTheStream) {
  struct Case {
    int len, hop;
  };
  for (const Case &c : {Case{64, 32}, Case{256, 256}, Case{1024, 512}, Case{2048, 700}}) {
    dir_def_core::TUniversalPreprocessor pre;
    pre.Init(3, c.len, c.hop, 4000, 20000, 37500);
    const std::vector<double> taps = TLowPassFilter(4000, 20000, 37500).Taps();
    ddc_test::TFrames in(3), ref(3);
    for (unsigned ch = 0; ch < 3; ++ch) {
      in[ch] = ddc_test::WhiteNoise(6000, 10 + ch);
      for (auto &v : in[ch]) {
        v *= 1000.0 * (ch + 1); // station-like sample levels
      }
      ref[ch] = DirectFir(taps, in[ch]);
    }
    ddc_test::TFrames frames;
    int emitted = 0;
    for (std::size_t i = 0; i < in[0].size(); ++i) {
      const double s[3] = {in[0][i], in[1][i], in[2][i]};
      if (!pre.PushSample(s, frames)) {
        continue;
      }
      ++emitted;
      const auto end = static_cast<std::size_t>(i + 1);
      for (std::size_t ch = 0; ch < 3; ++ch) {
        ASSERT_EQ(frames[ch].size(), static_cast<std::size_t>(c.len));
        const double tol = 1e-12 * Peak(in[ch]);
        for (std::size_t j = 0; j < frames[ch].size(); ++j) {
          ASSERT_NEAR(frames[ch][j], ref[ch][end - static_cast<std::size_t>(c.len) + j], tol)
              << c.len << "/" << c.hop << " channel " << ch << " at " << i;
        }
      }
    }
    EXPECT_EQ(emitted, 1 + (6000 - c.len) / c.hop) << c.len << "/" << c.hop;
  }
}

// The block entry point against the per-sample one: the same sets at the same samples, the same bits, whatever
// the runs the stream comes in (single samples, odd runs, runs longer than a hop or a frame).
TEST(TUniversalPreprocessor, RunsOfSamplesGiveThePerSampleFrames) {
  for (const std::size_t run : {1UL, 3UL, 400UL, 700UL, 5000UL}) {
    dir_def_core::TUniversalPreprocessor single;
    dir_def_core::TUniversalPreprocessor block;
    single.Init(4, 1024, 512, 4000, 20000, 37500);
    block.Init(4, 1024, 512, 4000, 20000, 37500);
    ddc_test::TFrames in(4);
    for (unsigned ch = 0; ch < 4; ++ch) {
      in[ch] = ddc_test::WhiteNoise(6000, 20 + ch);
    }
    ddc_test::TFrames want;
    ddc_test::TFrames got;
    std::vector<std::size_t> wantAt;
    std::vector<std::size_t> gotAt;
    std::vector<ddc_test::TFrames> wantSets;
    std::vector<ddc_test::TFrames> gotSets;
    for (std::size_t i = 0; i < 6000; ++i) {
      const double s[4] = {in[0][i], in[1][i], in[2][i], in[3][i]};
      if (single.PushSample(s, want)) {
        wantAt.push_back(i);
        wantSets.push_back(want);
      }
    }
    for (std::size_t i = 0; i < 6000;) {
      const std::size_t n = std::min(run, 6000 - i);
      for (std::size_t j = 0; j < n;) {
        const double *at[4] = {&in[0][i + j], &in[1][i + j], &in[2][i + j], &in[3][i + j]};
        bool framed = false;
        const std::size_t used = block.PushSamples(at, n - j, got, framed);
        ASSERT_GE(used, 1U);
        j += used;
        if (framed) {
          gotAt.push_back(i + j - 1);
          gotSets.push_back(got);
        }
      }
      i += n;
    }
    EXPECT_EQ(gotAt, wantAt) << "runs of " << run;
    EXPECT_TRUE(gotSets == wantSets) << "runs of " << run;
  }
}

TEST(RobustAzimuthMean, LeavesOutliersAndKeepsThePlainMeanWhenOff) {
  const double deg = kPi / 180;
  const auto rad = [&](std::vector<double> v) {
    for (double &x : v) {
      x *= deg;
    }
    return v;
  };
  double mean = 0;
  // One frame set 160 degrees off: the band around the median leaves it out; with the band off it is the
  // TAngleAveranger's mean, dragging the block by 20 degrees.
  const std::vector<double> block = rad({10, 11, 12, 170, 11.5, 10.5, 12.5, 11});
  ASSERT_TRUE(dir_def_core::RobustAzimuthMean(block, 10 * deg, 1, mean));
  EXPECT_NEAR(mean / deg, (10 + 11 + 12 + 11.5 + 10.5 + 12.5 + 11) / 7.0, 1e-9);
  TAngleAveranger plain(8);
  double plainMean = 0;
  for (const double v : block) {
    plain.Push(v, plainMean);
  }
  ASSERT_TRUE(dir_def_core::RobustAzimuthMean(block, 0.0, 1, mean));
  EXPECT_EQ(mean, plainMean);

  // Across the wrap near 270 degrees, with an outlier at 100: reported in (-90, 270].
  ASSERT_TRUE(dir_def_core::RobustAzimuthMean(rad({268, -89, 100, 269, -91}), 10 * deg, 1, mean));
  EXPECT_NEAR(mean / deg, 269.25, 1e-9);
  ASSERT_TRUE(dir_def_core::RobustAzimuthMean(rad({-89, 272, -88}), 10 * deg, 1, mean));
  EXPECT_NEAR(mean / deg, -88.333333333333, 1e-9);

  // No majority in the band, or nothing at all: false, and the caller's value is left alone.
  mean = 42.0;
  EXPECT_FALSE(dir_def_core::RobustAzimuthMean(rad({0, 100, 200, 300}), 10 * deg, 2, mean));
  EXPECT_FALSE(dir_def_core::RobustAzimuthMean({}, 10 * deg, 1, mean));
  EXPECT_EQ(mean, 42.0);
  EXPECT_TRUE(dir_def_core::RobustAzimuthMean(rad({0, 100, 5, 300}), 10 * deg, 2, mean));
  EXPECT_NEAR(mean / deg, 2.5, 1e-9);
}

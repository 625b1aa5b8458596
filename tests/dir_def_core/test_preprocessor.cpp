#include "dir_def_core/moving_averanger.h"
#include "dir_def_core/preprocessor.h"

#include "test_signals.h"

#include <gtest/gtest.h>

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

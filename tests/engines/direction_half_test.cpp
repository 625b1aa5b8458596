#include "engines/hybrid_steps.h"
#include "scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

constexpr unsigned kSceneSamples = 65536;

struct TAzimuthEvent {
  long Sample; // index in the stream of the sample that completed the mean
  double Deg;
};

std::vector<TAzimuthEvent> RunBlocks(TDirectionHalf &half, const std::array<std::vector<double>, 4> &ch) {
  std::vector<TAzimuthEvent> events;
  std::array<std::vector<double>, 4> block;
  for (std::size_t first = 0; first + 400 <= ch[0].size(); first += 400) {
    for (std::size_t c = 0; c < 4; ++c) {
      block[c].assign(ch[c].begin() + static_cast<std::ptrdiff_t>(first),
                      ch[c].begin() + static_cast<std::ptrdiff_t>(first + 400));
    }
    const bool produced = half.ProcessBlock(block[0], block[1], block[2], block[3], [&](int i, double deg) {
      events.push_back({static_cast<long>(first) + i, deg});
    });
    EXPECT_EQ(produced, !events.empty() && events.back().Sample >= static_cast<long>(first));
  }
  return events;
}

double MeanOfLast(const std::vector<TAzimuthEvent> &e, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = e.size() - n; i < e.size(); ++i) {
    sum += e[i].Deg;
  }
  return sum / static_cast<double>(n);
}

} // namespace

TEST(TDirectionHalf, EveryFrameSetGivesTheSourceAzimuthWhenOutAvgLenIsOne) {
  // 300 degrees lies beyond the wrap and is reported as -60.
  for (const auto &[azimuth, polar, reported] : {std::tuple{120.0, 60.0, 120.0}, std::tuple{300.0, 70.0, -60.0}}) {
    TDirDefParams p = SceneSettings(1);
    TDirectionHalf half(p);
    EXPECT_EQ(p.Mics[1].Fi, 120.0); // the caller's record keeps degrees: the definer converted a copy
    const auto events = RunBlocks(half, MakeScene(p, azimuth, polar, kSceneSamples));
    // First frame set after 1024 samples (the 224th sample of the third block), then one every 512 samples.
    const unsigned processed = kSceneSamples / 400 * 400; // whole blocks only
    ASSERT_EQ(events.size(), (processed - 1024) / 512 + 1);
    for (std::size_t j = 0; j < events.size(); ++j) {
      EXPECT_EQ(events[j].Sample, 1023 + 512 * static_cast<long>(j));
      EXPECT_GT(events[j].Deg, -90.0);
      EXPECT_LE(events[j].Deg, 270.0);
    }
    EXPECT_EQ(half.FrameSets(), static_cast<long long>(events.size()));
    EXPECT_NEAR(MeanOfLast(events, 64), reported, 2.0) << "source at " << azimuth;
    EXPECT_DOUBLE_EQ(half.AzimuthDeg(), events.back().Deg);
  }
}

TEST(TDirectionHalf, OutAvgLenAveragesBlocksOfFrameSets) {
  const TDirDefParams single = SceneSettings(1);
  const TDirDefParams four = SceneSettings(4);
  const auto scene = MakeScene(single, 120.0, 60.0, kSceneSamples);
  TDirectionHalf halfSingle(single);
  TDirectionHalf halfFour(four);
  const auto each = RunBlocks(halfSingle, scene);
  const auto averaged = RunBlocks(halfFour, scene);
  ASSERT_EQ(averaged.size(), each.size() / 4);
  for (std::size_t j = 0; j < averaged.size(); ++j) {
    // Mean of frame sets 4j..4j+3, completed on the last of them; none of these values crosses the wrap.
    double sum = 0.0;
    for (std::size_t i = 4 * j; i < 4 * j + 4; ++i) {
      sum += each[i].Deg;
    }
    EXPECT_EQ(averaged[j].Sample, each[4 * j + 3].Sample);
    EXPECT_NEAR(averaged[j].Deg, sum / 4.0, 1e-9);
  }
}

TEST(TDirectionHalf, RefusesSettingsThatCannotAverageWithTheKeyInTheReason) {
  try {
    const TDirectionHalf half(SceneSettings(0));
    FAIL() << "OutAvgLen 0 accepted";
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find("OutAvgLen"), std::string::npos) << e.what();
  }
}

TEST(TDirectionHalf, FitGateAndRobustAvgKeepCleanBlocksAndRideOutAShortLoudSoundFromElsewhere) {
  TDirDefParams plain = SceneSettings(8);
  TDirDefParams robust = plain;
  robust.FitGate = 0.5;
  robust.RobustAvg = 10.0;
  auto scene = MakeScene(plain, 120.0, 90.0, kSceneSamples);
  {
    TDirectionHalf a(plain);
    TDirectionHalf b(robust);
    const auto ea = RunBlocks(a, scene);
    const auto eb = RunBlocks(b, scene);
    ASSERT_EQ(ea.size(), eb.size()); // same cadence: one azimuth per 8 frame sets
    for (std::size_t j = 0; j < ea.size(); ++j) {
      EXPECT_EQ(ea[j].Sample, eb[j].Sample);
      EXPECT_NEAR(ea[j].Deg, eb[j].Deg, 1e-6) << "a clean block lost frame sets, block " << j;
    }
  }
  // A short loud sound from elsewhere (a bird call, a door: 700 samples from azimuth 300, ten times the
  // source's level) takes over the few frame sets that hold it; they agree with each other, not with the block.
  const auto other = MakeScene(plain, 300.0, 90.0, kSceneSamples, 5);
  for (std::size_t c = 0; c < 4; ++c) {
    for (std::size_t i = 30000; i < 30700; ++i) {
      scene[c][i] += 10.0 * other[c][i];
    }
  }
  TDirectionHalf a(plain);
  TDirectionHalf b(robust);
  const auto ea = RunBlocks(a, scene);
  const auto eb = RunBlocks(b, scene);
  ASSERT_EQ(ea.size(), eb.size());
  double worstPlain = 0.0;
  double worstRobust = 0.0;
  for (std::size_t j = 2; j < ea.size(); ++j) {
    worstPlain = std::max(worstPlain, std::abs(ea[j].Deg - 120.0));
    worstRobust = std::max(worstRobust, std::abs(eb[j].Deg - 120.0));
  }
  EXPECT_GT(worstPlain, 5.0) << "the sound did not disturb the plain mean: the test shows nothing";
  EXPECT_LT(worstRobust, 1.0);
}

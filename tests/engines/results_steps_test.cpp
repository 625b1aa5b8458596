#include "engines/desc_maker.h"
#include "engines/hybrid_steps.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::array<double, 4> OnlyChannel(int channel, double score) {
  std::array<double, 4> q{0.0, 0.0, 0.0, 0.0};
  q[static_cast<std::size_t>(channel)] = score;
  return q;
}

} // namespace

TEST(TDescMaker, ThreeHighScoresInARowDetectThenLevelDecaysOverTwoLowOnes) {
  for (int channel = 0; channel < 4; ++channel) {
    TDescMaker d;
    std::vector<int> levels;
    for (const double s : {0.002, 0.002, 0.002, 0.0, 0.0}) {
      levels.push_back(d.Update(OnlyChannel(channel, s), 0.001));
      EXPECT_EQ(d.Level, levels.back());
    }
    EXPECT_EQ(levels, (std::vector<int>{1, 1, 2, 1, 0})) << "channel " << channel;
  }
}

TEST(TDescMaker, ScoreEqualToBorderOrNaNCountsAsLow) {
  TDescMaker d;
  EXPECT_EQ(d.Update({0.001, kNaN, 0.001, kNaN}, 0.001), 0);
  EXPECT_EQ(d.Update({0.001, kNaN, 0.001, kNaN}, 0.001), 0);
  EXPECT_EQ(d.Update({0.001, kNaN, 0.001, kNaN}, 0.001), 0);
  EXPECT_TRUE(d.Hist[0].none() && d.Hist[1].none());
}

TEST(TDescMaker, HighestChannelDecidesAndAGapBreaksTheRun) {
  TDescMaker d;
  EXPECT_EQ(d.Update({0.5, 0.0, 0.0, 0.0}, 0.1), 1);
  EXPECT_EQ(d.Update({0.5, 0.0, 0.0, 0.5}, 0.1), 1);
  EXPECT_EQ(d.Update({0.0, 0.0, 0.0, 0.5}, 0.1), 1); // channel 0 broke its run; channel 3 has two
  EXPECT_EQ(d.Update({0.5, 0.0, 0.0, 0.5}, 0.1), 2); // channel 3: three in a row; channel 0: high, low, high
  EXPECT_EQ(d.Hist[0].to_ulong(), 0b101U);
  EXPECT_EQ(d.Update({0.5, 0.0, 0.0, 0.0}, 0.1), 1);
}

TEST(THybridResults, MessagesCarryScoresLevelBorderAndLatestDirection) {
  THybridResults r(0.001);
  EXPECT_EQ(r.OnScores({0.002, 0.0, 0.0, 0.0}),
            R"({"alert":1,"brd":0.001,"dots":[0.002,0.0,0.0,0.0],"dirs":[0.0,45.0]})");
  EXPECT_EQ(r.OnScores({0.002, 0.0, 0.0, 0.0}).substr(0, 10), R"({"alert":1)");
  r.SetDirection(123.25);
  EXPECT_EQ(r.OnScores({0.002, 0.0, 0.0, 0.0}),
            R"({"alert":2,"brd":0.001,"dots":[0.002,0.0,0.0,0.0],"dirs":[123.25,45.0]})");
  EXPECT_EQ(r.Level(), 2);
  EXPECT_EQ(r.OnScores({0.0, 0.0, 0.0, 0.0}).substr(0, 10), R"({"alert":1)");
  EXPECT_EQ(r.OnScores({0.0, 0.0, 0.0, 0.0}),
            R"({"alert":0,"brd":0.001,"dots":[0.0,0.0,0.0,0.0],"dirs":[123.25,45.0]})");
}

TEST(TAutocalibrResults, BorderIsFivePercentAboveTheLargestScoreSeen) {
  TAutocalibrResults r(-1.0);
  EXPECT_EQ(r.OnScores({0.2, 0.5, 0.1, 0.3}), R"({"alert":-2,"brd":0.525,"dots":[0.2,0.5,0.1,0.3],"dirs":[0.0,45.0]})");
  r.OnScores({0.4, 0.4, 0.4, 0.4});
  EXPECT_DOUBLE_EQ(r.Record().brd, 0.525);
  r.OnScores({0.1, kNaN, 0.9, 0.2});
  EXPECT_DOUBLE_EQ(r.Record().brd, 1.05 * 0.9);
  EXPECT_EQ(r.Record().alert, -2);
  EXPECT_EQ(r.Record().dirs, (std::vector<double>{0.0, 45.0}));
}

TEST(TAutocalibrResults, NegativeAndNaNScoresLeaveTheBorderAtZero) {
  TAutocalibrResults r(-1.0);
  r.OnScores({-0.2, -0.5, kNaN, -0.3});
  r.OnScores({kNaN, kNaN, kNaN, kNaN});
  EXPECT_EQ(r.MaxScore(), 0.0);
  EXPECT_EQ(r.Record().brd, 0.0);
  EXPECT_EQ(r.Record().alert, -2);
}

// The synchronisation thread's joining step: the n-th score of every channel makes the n-th record.

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "detection/x4_detectors.h"

namespace {

using detection::JoinScore;
using detection::TPendingRecords;
using Rec = std::array<double, 4>;

TEST(JoinScore, EqualRatesGiveOneRecordPerScoreInChannelOrder) {
  std::vector<std::int32_t> seq(4, 0);
  TPendingRecords pending;
  std::vector<Rec> out;
  for (int n = 0; n < 5; ++n) {
    for (int ch = 0; ch < 4; ++ch) {
      Rec r{};
      if (JoinScore(seq, pending, ch, n + 0.1 * ch, r)) {
        out.push_back(r);
      }
    }
  }
  ASSERT_EQ(out.size(), 5U);
  for (int n = 0; n < 5; ++n) {
    EXPECT_EQ(out[n], (Rec{n + 0.1 * 0, n + 0.1 * 1, n + 0.1 * 2, n + 0.1 * 3}));
  }
  EXPECT_TRUE(pending.empty());
}

TEST(JoinScore, RecordsCompleteWhenTheirLastScoreArrives) {
  std::vector<std::int32_t> seq(4, 0);
  TPendingRecords pending;
  Rec r{};
  // Channel 3 lags by two scores: records 0 and 1 complete only when its scores arrive.
  for (int n = 0; n < 3; ++n) {
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_FALSE(JoinScore(seq, pending, ch, 1.0, r));
    }
  }
  EXPECT_EQ(pending.size(), 3U);
  EXPECT_TRUE(JoinScore(seq, pending, 3, 7.0, r));
  EXPECT_EQ(r, (Rec{1.0, 1.0, 1.0, 7.0}));
  EXPECT_EQ(pending.size(), 2U);
}

TEST(JoinScore, NegativeScoreNeverCompletesButNaNDoes) {
  std::vector<std::int32_t> seq(4, 0);
  TPendingRecords pending;
  Rec r{};
  EXPECT_FALSE(JoinScore(seq, pending, 0, 0.5, r));
  EXPECT_FALSE(JoinScore(seq, pending, 1, -0.25, r));
  EXPECT_FALSE(JoinScore(seq, pending, 2, 0.5, r));
  EXPECT_FALSE(JoinScore(seq, pending, 3, 0.5, r)) << "a negative score counts as missing";
  EXPECT_EQ(pending.count(0), 1U);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(JoinScore(seq, pending, 0, nan, r));
  EXPECT_FALSE(JoinScore(seq, pending, 1, 0.0, r));
  EXPECT_FALSE(JoinScore(seq, pending, 2, 0.0, r));
  ASSERT_TRUE(JoinScore(seq, pending, 3, 0.0, r)) << "NaN counts as present";
  EXPECT_TRUE(std::isnan(r[0]));
  EXPECT_EQ(pending.size(), 1U) << "record 0 stays pending";
}

TEST(JoinScore, SequenceNumbersWrapAndAStaleRecordCompletes10000ScoresLater) {
  std::vector<std::int32_t> seq(4, 0);
  TPendingRecords pending;
  Rec r{};
  // Channel 3 is silent while the others publish 10001 scores each.
  for (int n = 0; n <= 10000; ++n) {
    for (int ch = 0; ch < 3; ++ch) {
      ASSERT_FALSE(JoinScore(seq, pending, ch, n, r));
    }
  }
  EXPECT_EQ(seq[0], 1);
  EXPECT_EQ(pending.size(), 10000U);
  EXPECT_EQ(pending.at(0), (Rec{10000.0, 10000.0, 10000.0, -1.0})) << "number 0 reused";
  ASSERT_TRUE(JoinScore(seq, pending, 3, 0.5, r));
  EXPECT_EQ(r, (Rec{10000.0, 10000.0, 10000.0, 0.5}));
}

} // namespace

#include "app/results_group.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(TResultsGroup, TestMessageIsExact66Bytes) {
  const TResultsGroup msg({1.0, 2.0, 3.0, 4.0}, {10.0, 45.0}, -1.0, 5.0);
  const std::string text = msg.ConvToJSON_Str();
  EXPECT_EQ(text, R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})");
  EXPECT_EQ(text.size(), 66U);
}

TEST(TResultsGroup, WritesEmptyArraysAndShortestDoubles) {
  const TResultsGroup empty({}, {}, 0.0, 0.001);
  EXPECT_EQ(empty.ConvToJSON_Str(), R"({"alert":0,"brd":0.001,"dots":[],"dirs":[]})");

  const TResultsGroup mixed({0.1, -2.5, 1e-7, 123456789.0}, {0.0}, 2.0, 1.05);
  EXPECT_EQ(mixed.ConvToJSON_Str(), R"({"alert":2,"brd":1.05,"dots":[0.1,-2.5,1e-7,123456789.0],"dirs":[0.0]})");
}

TEST(TResultsGroup, AlertArgumentTruncatesTowardZero) {
  EXPECT_EQ(TResultsGroup({}, {}, -1.0, 0).alert, -1);
  EXPECT_EQ(TResultsGroup({}, {}, -2.0, 0).alert, -2);
  EXPECT_EQ(TResultsGroup({}, {}, 1.9, 0).alert, 1);
  EXPECT_EQ(TResultsGroup({}, {}, -1.9, 0).alert, -1);
}

TEST(TResultsGroup, AlertArgumentNaNReadsZeroAndOutOfRangeSaturates) {
  EXPECT_EQ(TResultsGroup({}, {}, kNaN, 0).alert, 0);
  EXPECT_EQ(TResultsGroup({}, {}, 1e12, 0).alert, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(TResultsGroup({}, {}, -1e12, 0).alert, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(TResultsGroup({}, {}, kInf, 0).alert, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(TResultsGroup({}, {}, -kInf, 0).alert, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(TResultsGroup({}, {}, 2147483647.5, 0).alert, std::numeric_limits<std::int32_t>::max());
}

TEST(TResultsGroup, NonFiniteValuesAreWrittenAsNullInACompleteObject) {
  const TResultsGroup msg({kNaN, 1.0, kInf, -kInf}, {kNaN, 45.0}, 1.0, kNaN);
  EXPECT_EQ(msg.ConvToJSON_Str(), R"({"alert":1,"brd":null,"dots":[null,1.0,null,null],"dirs":[null,45.0]})");
}

} // namespace

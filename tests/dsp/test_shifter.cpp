#include "dsp/shifter.h"

#include <gtest/gtest.h>

#include <complex>
#include <deque>
#include <stdexcept>
#include <vector>

namespace {

using dsp::shifter;

std::vector<double> Window(const shifter<double> &s) { return {s.data(), s.data() + s.size()}; }

TEST(Shifter, SizeOneWindowTakesEachPush) {
  shifter<double> s(1, 0.0);
  EXPECT_EQ(s.capacity(), 102U);
  EXPECT_EQ(Window(s), std::vector<double>{0.0});
  s.push(7.0);
  EXPECT_EQ(Window(s), std::vector<double>{7.0});
}

TEST(Shifter, GrowingResizeKeepsNewestRightAligned) {
  shifter<double> s(1, 0.0);
  s.push(5.0);
  s.resize(4, 0.0);
  EXPECT_EQ(Window(s), (std::vector<double>{0.0, 0.0, 0.0, 5.0}));
  EXPECT_EQ(s.capacity(), 105U);
}

TEST(Shifter, ShrinkingResizeKeepsNewestAndCapacity) {
  shifter<double> s(1, 0.0);
  s.resize(4, 0.0);
  for (double v : {1.0, 2.0, 3.0, 4.0}) {
    s.push(v);
  }
  const std::size_t cap = s.capacity();
  s.resize(2, 0.0);
  EXPECT_EQ(Window(s), (std::vector<double>{3.0, 4.0}));
  EXPECT_EQ(s.capacity(), cap);
}

TEST(Shifter, ResizeToSameSizeChangesNothing) {
  shifter<double> s(3, 0.0);
  s.push(1.0);
  const double *before = s.data();
  s.resize(3, 9.0);
  EXPECT_EQ(s.data(), before);
  EXPECT_EQ(Window(s), (std::vector<double>{0.0, 0.0, 1.0}));
}

TEST(Shifter, WrapsAtBlockEndAndStillReadsOldestToNewest) {
  shifter<double> s(3, 0.0); // capacity 3 + 100 + 1 = 104, lastFirst = start + 101
  ASSERT_EQ(s.capacity(), 104U);
  std::deque<double> ref{0.0, 0.0, 0.0};
  const double *start = s.data();
  for (int i = 1; i <= 250; ++i) {
    s.push(i);
    ref.pop_front();
    ref.push_back(i);
    if (i == 101) {
      EXPECT_EQ(s.data(), start + 101);
    }
    if (i == 102) {
      EXPECT_EQ(s.data(), start);
    }
    ASSERT_EQ(Window(s), std::vector<double>(ref.begin(), ref.end())) << "after push " << i;
  }
}

TEST(Shifter, BatchPushEqualsPushingOneByOneAcrossMovesBack) {
  // Runs of every length from 0 to 150 against a window of 3 in a block of 104, so runs start and end on either
  // side of the move back to the block start, and one run spans several moves.
  shifter<double> batch(3, 0.0);
  shifter<double> single(3, 0.0);
  std::vector<double> run;
  double next = 1.0;
  for (std::size_t len = 0; len <= 150; ++len) {
    run.clear();
    for (std::size_t i = 0; i < len; ++i) {
      run.push_back(next++);
    }
    batch.push(run.data(), run.size());
    for (const double v : run) {
      single.push(v);
    }
    ASSERT_EQ(Window(batch), Window(single)) << "after a run of " << len;
  }
  shifter<double> big(3, 0.0);
  std::vector<double> many(1000);
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = static_cast<double>(i);
  }
  big.push(many.data(), many.size());
  EXPECT_EQ(Window(big), (std::vector<double>{997.0, 998.0, 999.0}));
}

TEST(Shifter, CopiesAreIndependentAndComplexFillWorks) {
  shifter<std::complex<double>> a(1, {0.0, 0.0});
  a.resize(4, {1.0, -1.0});
  a.push({2.0, 0.0});
  shifter<std::complex<double>> b = a;
  b.push({3.0, 0.0});
  EXPECT_EQ(a.data()[3], std::complex<double>(2.0, 0.0));
  EXPECT_EQ(b.data()[3], std::complex<double>(3.0, 0.0));
  EXPECT_EQ(b.data()[0], std::complex<double>(1.0, -1.0));
}

} // namespace

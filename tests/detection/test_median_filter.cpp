// The running median filter against the straightforward computation: for every bin, sort the window's
// 2 W + 1 values by magnitude (zeros before bin 0, a NaN as the largest) and take the middle one.

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "detection/pvc2/median_filter.h"

namespace {

using cplx = std::complex<double>;

double RefKey(cplx z) {
  const double m = std::abs(z);
  return std::isnan(m) ? std::numeric_limits<double>::infinity() : m;
}

std::vector<cplx> RefMedian(const std::vector<cplx> &X, int W, int nBins) {
  std::vector<cplx> out;
  for (int s = 0; s < nBins; ++s) {
    std::vector<cplx> win;
    for (int d = -W; d <= W; ++d) {
      win.push_back(s + d < 0 ? cplx(0.0) : X[s + d]);
    }
    std::stable_sort(win.begin(), win.end(), [](cplx a, cplx b) { return RefKey(a) < RefKey(b); });
    out.push_back(win[W]);
  }
  return out;
}

bool SameValue(cplx a, cplx b) {
  auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  return same(a.real(), b.real()) && same(a.imag(), b.imag());
}

// Both kernels, the byte-rank one where this CPU has it and the portable one.
void ExpectMatchesReference(const std::vector<cplx> &X, int W, int nBins, const char *what) {
  const std::vector<cplx> ref = RefMedian(X, W, nBins);
  pvc2::TMedianFilter mf(W, nBins);
  for (const bool wide : {mf.Wide, false}) {
    mf.Wide = wide;
    mf.Process(X);
    std::vector<cplx> residual(static_cast<std::size_t>(nBins));
    mf.ProcessResidual(X, residual.data());
    for (int s = 0; s < nBins; ++s) {
      ASSERT_TRUE(SameValue(mf.Out[s], ref[s])) << what << ": W " << W << " bin " << s << (wide ? " (wide)" : "")
                                                << " got " << mf.Out[s] << " want " << ref[s];
      ASSERT_TRUE(SameValue(residual[s], X[s] - ref[s])) << what << ": residual, W " << W << " bin " << s;
    }
  }
}

std::vector<cplx> Gaussian(int n, double scale, std::mt19937 &gen) {
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<cplx> X(static_cast<std::size_t>(n));
  for (auto &z : X) {
    z = cplx(nd(gen), nd(gen)) * scale;
  }
  return X;
}

TEST(TMedianFilter, MatchesSortedMedianOnRandomSpectraForSeveralWindows) {
  std::mt19937 gen(11);
  for (const int W : {0, 1, 2, 5, 10, 20, 30}) {
    for (const int nBins : {1, W + 1, 3 * W + 17, 460}) {
      ExpectMatchesReference(Gaussian(nBins + W, 1.0, gen), W, nBins, "gaussian");
    }
  }
}

TEST(TMedianFilter, LeadingZerosPullTheFirstBinsDown) {
  // Bin 0's window is W zeros and bins 0 .. W, so its median is the smallest of those W + 1 bins; the zeros
  // weigh less with every bin until bin W's window holds none.
  std::mt19937 gen(5);
  const int W = 10;
  std::vector<cplx> X = Gaussian(200 + W, 1.0, gen);
  for (auto &z : X) {
    z += cplx(100.0, 0.0);
  }
  pvc2::TMedianFilter mf(W, 200);
  mf.Process(X);
  const auto smallest =
      *std::min_element(X.begin(), X.begin() + W + 1, [](cplx a, cplx b) { return std::abs(a) < std::abs(b); });
  EXPECT_EQ(mf.Out[0], smallest);
  ExpectMatchesReference(X, W, 200, "offset");
}

TEST(TMedianFilter, RepeatedValuesAndRunsOfExactZeros) {
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> pick(0, 6);
  // Distinct magnitudes apart from exact repeats, so the median value is unambiguous despite the ties.
  const std::vector<cplx> palette{{0.5, 0.1}, {-1.0, 2.0}, {0.0, 3.0}, {4.0, -0.5}, {0.2, 0.0}, {-2.5, -2.5}, {0, 0}};
  for (const int W : {1, 2, 5, 10, 20}) {
    const int nBins = 4 * W + 30;
    std::vector<cplx> X(static_cast<std::size_t>(nBins + W));
    for (auto &z : X) {
      z = palette[pick(gen)];
    }
    ExpectMatchesReference(X, W, nBins, "palette");
    // A silent stretch in the middle: the window fills with zeros and empties again.
    for (int k = nBins / 3; k < nBins / 3 + 3 * W; ++k) {
      X[k] = 0.0;
    }
    ExpectMatchesReference(X, W, nBins, "zero run");
    ExpectMatchesReference(std::vector<cplx>(X.size(), 0.0), W, nBins, "all zero");
  }
}

TEST(TMedianFilter, EqualMagnitudesOfDifferentValuesRankByBin) {
  // |(3, 4)| = |(4, 3)| = |(-5, 0)| = |(0, -5)| = 5 exactly: ties the median has to break the way a stable sort
  // of the window does, the lower bin first, whether the tied entries arrive before or after each other.
  std::mt19937 gen(41);
  const std::vector<cplx> palette{{3.0, 4.0}, {4.0, 3.0}, {-5.0, 0.0}, {0.0, -5.0}, {1.0, 0.0}, {0.0, 9.0}};
  std::uniform_int_distribution<int> pick(0, static_cast<int>(palette.size()) - 1);
  for (const int W : {1, 3, 7, 10, 13, 30}) {
    for (const int nBins : {W + 1, 5 * W + 40}) {
      std::vector<cplx> X(static_cast<std::size_t>(nBins + W));
      for (auto &z : X) {
        z = palette[pick(gen)];
      }
      ExpectMatchesReference(X, W, nBins, "equal magnitudes");
    }
  }
}

TEST(TMedianFilter, NaNSortsAsTheLargestMagnitude) {
  // Every NaN and an infinity share the largest key, so among themselves their order is unspecified; each
  // case keeps the median away from such ties or makes the tied values identical.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937 gen(17);
  for (const int W : {2, 4, 10}) {
    std::vector<cplx> X = Gaussian(80 + W, 1.0, gen);
    X[7] = cplx(nan, 0.0);
    X[30] = cplx(1.0, nan);
    X[60] = cplx(std::numeric_limits<double>::infinity(), 0.0);
    ExpectMatchesReference(X, W, 80, "nan");
    // Enough NaNs around one bin that the median itself is one of them.
    X[30] = cplx(nan, 0.0);
    X[60] = cplx(nan, 0.0);
    for (int k = 40; k < 40 + 2 * W + 1; ++k) {
      X[k] = cplx(nan, 0.0);
    }
    pvc2::TMedianFilter mf(W, 80);
    mf.Process(X);
    EXPECT_TRUE(std::isnan(mf.Out[40 + W].real()));
    ExpectMatchesReference(X, W, 80, "nan run");
  }
}

TEST(TMedianFilter, KeepsTheOrderOfMagnitudesWhoseSquaresLeaveTheDoubleRange) {
  std::mt19937 gen(23);
  for (const double scale : {1e-200, 1e-310, 1e200}) {
    ExpectMatchesReference(Gaussian(110, scale, gen), 10, 100, "extreme scale");
  }
}

TEST(TMedianFilter, EachProcessStartsFromScratch) {
  std::mt19937 gen(29);
  const std::vector<cplx> a = Gaussian(60, 1.0, gen);
  const std::vector<cplx> b = Gaussian(60, 1.0, gen);
  pvc2::TMedianFilter mf(5, 55);
  mf.Process(a);
  mf.Process(b);
  const std::vector<cplx> ref = RefMedian(b, 5, 55);
  for (int s = 0; s < 55; ++s) {
    EXPECT_EQ(mf.Out[s], ref[s]) << s;
  }
}

} // namespace

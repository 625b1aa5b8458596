#include "dsp/fourier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using cd = std::complex<double>;
using dsp::fourier::fwd_complex;
using dsp::fourier::inv_complex;

// Direct evaluation of sum_m x[m] e^{sign 2 pi i k m / N}, the reference for every plan.
std::vector<cd> DirectDft(const std::vector<cd> &x, int sign) {
  const std::size_t n = x.size();
  std::vector<cd> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    cd acc = 0.0;
    for (std::size_t m = 0; m < n; ++m) {
      const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>((k * m) % n) / static_cast<double>(n);
      acc += x[m] * cd(std::cos(angle), std::sin(angle));
    }
    out[k] = acc;
  }
  return out;
}

double MaxAbsDiff(const std::vector<cd> &a, const std::vector<cd> &b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    worst = std::max(worst, std::abs(a[i] - b[i]));
  }
  return worst;
}

TEST(FwdComplex, RejectsSizesThatAreNotPowersOfTwoOfAtLeastEight) {
  for (unsigned n : {0U, 1U, 2U, 4U, 6U, 7U, 12U, 24U, 1000U}) {
    try {
      fwd_complex<double> plan(n);
      FAIL() << "size " << n << " accepted";
    } catch (const std::length_error &e) {
      EXPECT_STREQ(e.what(), "invalid FFT size");
    }
    EXPECT_THROW(inv_complex<double>{n}, std::length_error);
  }
  EXPECT_NO_THROW(fwd_complex<double>{8});
}

TEST(FwdComplex, EightPointPlanHasBitReversedTwiddlesAndSwapList) {
  fwd_complex<double> plan(8);
  const auto &tw = plan.twiddle_table();
  ASSERT_EQ(tw.size(), 4U);
  const double angles[] = {0.0, -std::numbers::pi / 2, -std::numbers::pi / 4, -3 * std::numbers::pi / 4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(tw[i].real(), std::cos(angles[i]), 1e-15);
    EXPECT_NEAR(tw[i].imag(), std::sin(angles[i]), 1e-15);
  }
  EXPECT_EQ(plan.swap_list(), (std::vector<std::uint32_t>{1, 4, 3, 6}));
}

TEST(FwdComplex, ImpulseConstantAndPositiveExponentialTransformAsExpected) {
  const unsigned n = 16;
  fwd_complex<double> plan(n);
  std::vector<cd> impulse(n, 0.0);
  impulse[0] = 1.0;
  plan.transform(impulse.data());
  for (const cd &v : impulse) {
    EXPECT_NEAR(std::abs(v - cd(1.0, 0.0)), 0.0, 1e-15);
  }
  std::vector<cd> ones(n, 1.0);
  plan.transform(ones.data());
  EXPECT_NEAR(std::abs(ones[0] - cd(n, 0.0)), 0.0, 1e-12);
  for (unsigned k = 1; k < n; ++k) {
    EXPECT_NEAR(std::abs(ones[k]), 0.0, 1e-12);
  }
  // e^{+2 pi i m / N} lands on bin 1: the forward exponent is negative.
  std::vector<cd> rot(n);
  for (unsigned m = 0; m < n; ++m) {
    rot[m] = std::polar(1.0, 2.0 * std::numbers::pi * m / n);
  }
  plan.transform(rot.data());
  EXPECT_NEAR(std::abs(rot[1] - cd(n, 0.0)), 0.0, 1e-12);
  for (unsigned k = 0; k < n; ++k) {
    if (k != 1) {
      EXPECT_NEAR(std::abs(rot[k]), 0.0, 1e-12) << k;
    }
  }
}

TEST(FwdComplex, RandomInputMatchesDirectDftForSeveralSizes) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (unsigned n : {8U, 16U, 64U, 256U, 2048U}) {
    std::vector<cd> x(n);
    for (cd &v : x) {
      v = {noise(rng), noise(rng)};
    }
    for (int sign : {-1, +1}) {
      std::vector<cd> y = x;
      if (sign < 0) {
        fwd_complex<double>(n).transform(y.data());
      } else {
        inv_complex<double>(n).transform(y.data());
      }
      const std::vector<cd> ref = DirectDft(x, sign);
      // Unscaled sums of n unit-variance terms: allow a tolerance that scales with the sum's size.
      EXPECT_LT(MaxAbsDiff(y, ref), 1e-12 * n) << "n=" << n << " sign=" << sign;
    }
  }
}

TEST(FwdComplex, InversePlanUndoesForwardUpToN) {
  const unsigned n = 128;
  std::vector<cd> x(n);
  for (unsigned i = 0; i < n; ++i) {
    x[i] = {std::sin(0.3 * i), std::cos(0.7 * i)};
  }
  std::vector<cd> y = x;
  fwd_complex<double>(n).transform(y.data());
  inv_complex<double>(n).transform(y.data());
  for (unsigned i = 0; i < n; ++i) {
    EXPECT_NEAR(std::abs(y[i] / static_cast<double>(n) - x[i]), 0.0, 1e-13);
  }
}

} // namespace

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
using dsp::fourier::fwd_real;
using dsp::fourier::inv_complex;

// Every comparison below allows 1e-12 of the reference spectrum's L2 norm per bin: the rounding of an
// n-point FFT grows like log2(n) eps times that norm, the direct sum's like sqrt(n) eps, both far below.
constexpr double kRelTol = 1e-12;

const unsigned kSizes[] = {8U, 16U, 32U, 64U, 128U, 256U, 512U, 1024U, 2048U, 4096U};

// Direct evaluation of sum_m x[m] e^{sign 2 pi i k m / N}, the reference for every plan. The roots are
// tabulated once per call, indexed by (k m) mod N.
std::vector<cd> DirectDft(const std::vector<cd> &x, int sign) {
  const std::size_t n = x.size();
  std::vector<cd> root(n);
  for (std::size_t t = 0; t < n; ++t) {
    const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>(t) / static_cast<double>(n);
    root[t] = {std::cos(angle), std::sin(angle)};
  }
  std::vector<cd> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    cd acc = 0.0;
    for (std::size_t m = 0; m < n; ++m) {
      acc += x[m] * root[(k * m) % n];
    }
    out[k] = acc;
  }
  return out;
}

// The textbook recursive radix-2 decimation in time, as a second, differently structured reference.
std::vector<cd> Radix2(const std::vector<cd> &x, int sign) {
  const std::size_t n = x.size();
  if (n == 1) {
    return x;
  }
  std::vector<cd> even(n / 2), odd(n / 2);
  for (std::size_t m = 0; m < n / 2; ++m) {
    even[m] = x[2 * m];
    odd[m] = x[2 * m + 1];
  }
  const std::vector<cd> e = Radix2(even, sign);
  const std::vector<cd> o = Radix2(odd, sign);
  std::vector<cd> out(n);
  for (std::size_t k = 0; k < n / 2; ++k) {
    const cd t =
        std::polar(1.0, sign * 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n)) * o[k];
    out[k] = e[k] + t;
    out[k + n / 2] = e[k] - t;
  }
  return out;
}

double Norm(const std::vector<cd> &a, std::size_t count) {
  double s = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    s += std::norm(a[i]);
  }
  return std::sqrt(s);
}

// Largest |a[i] - b[i]| over the first `count` entries, relative to the L2 norm of b's entries.
double RelMaxDiff(const std::vector<cd> &a, const std::vector<cd> &b, std::size_t count) {
  double worst = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    worst = std::max(worst, std::abs(a[i] - b[i]));
  }
  return worst / Norm(b, count);
}

std::vector<cd> Noise(unsigned n, std::mt19937 &rng, bool real) {
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<cd> x(n);
  for (cd &v : x) {
    v = {noise(rng), real ? 0.0 : noise(rng)};
  }
  return x;
}

TEST(FourierPlans, RejectSizesThatAreNotPowersOfTwoOfAtLeastEight) {
  for (unsigned n : {0U, 1U, 2U, 4U, 6U, 7U, 9U, 12U, 24U, 1000U}) {
    try {
      fwd_complex<double> plan(n);
      FAIL() << "size " << n << " accepted";
    } catch (const std::length_error &e) {
      EXPECT_STREQ(e.what(), "invalid FFT size");
    }
    EXPECT_THROW(inv_complex<double>{n}, std::length_error);
    EXPECT_THROW(fwd_real<double>{n}, std::length_error);
  }
  EXPECT_NO_THROW(fwd_complex<double>{8});
}

TEST(FwdComplex, ImpulseConstantAndPositiveExponentialTransformAsExpected) {
  for (unsigned n : {16U, 32U}) { // an even and an odd number of radix-2 levels
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
}

TEST(FwdComplex, RandomInputMatchesDirectDftAndRadix2ForwardAndInverse) {
  std::mt19937 rng(7);
  for (unsigned n : kSizes) {
    const std::vector<cd> x = Noise(n, rng, false);
    for (int sign : {-1, +1}) {
      std::vector<cd> y = x;
      if (sign < 0) {
        fwd_complex<double>(n).transform(y.data());
      } else {
        inv_complex<double>(n).transform(y.data());
      }
      EXPECT_LT(RelMaxDiff(y, DirectDft(x, sign), n), kRelTol) << "n=" << n << " sign=" << sign;
      EXPECT_LT(RelMaxDiff(y, Radix2(x, sign), n), kRelTol) << "n=" << n << " sign=" << sign;
    }
  }
}

TEST(FwdComplex, SharedPlanGivesTheSameResultOnEveryCall) {
  std::mt19937 rng(11);
  const fwd_complex<double> plan(512);
  const std::vector<cd> x = Noise(512, rng, false);
  std::vector<cd> a = x, b = x;
  plan.transform(a.data());
  plan.transform(b.data());
  EXPECT_EQ(a, b);
}

TEST(FwdComplex, InversePlanUndoesForwardUpToN) {
  for (unsigned n : {128U, 256U}) {
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
}


TEST(FwdReal, RandomRealInputMatchesDirectDftOnBinsUpToHalf) {
  std::mt19937 rng(3);
  for (unsigned n : kSizes) {
    const std::vector<cd> x = Noise(n, rng, true);
    std::vector<double> in(n);
    for (unsigned m = 0; m < n; ++m) {
      in[m] = x[m].real();
    }
    // One slot beyond n/2 + 1 checks that the transform writes no further.
    const cd guard(12345.0, -6789.0);
    std::vector<cd> out(n / 2 + 2, guard);
    fwd_real<double>(n).transform(in.data(), out.data());
    const std::vector<cd> ref = DirectDft(x, -1);
    EXPECT_LT(RelMaxDiff(out, ref, n / 2 + 1), kRelTol) << "n=" << n;
    EXPECT_LT(RelMaxDiff(out, Radix2(x, -1), n / 2 + 1), kRelTol) << "n=" << n;
    EXPECT_EQ(out[0].imag(), 0.0);
    EXPECT_EQ(out[n / 2].imag(), 0.0);
    EXPECT_EQ(out[n / 2 + 1], guard);

    // The scaled form is the plain transform of the scaled copy, bit for bit.
    const double a = 0.37;
    const double b = 1.0 / n;
    std::vector<double> scaled(n);
    for (unsigned m = 0; m < n; ++m) {
      scaled[m] = (in[m] * a) * b;
    }
    std::vector<cd> want(n / 2 + 1);
    std::vector<cd> got(n / 2 + 1);
    fwd_real<double>(n).transform(scaled.data(), want.data());
    fwd_real<double>(n).transform_scaled(in.data(), a, b, got.data());
    EXPECT_EQ(got, want) << "n=" << n;
  }
}

TEST(FwdReal, AgreesWithTheComplexPlanOnARealTone) {
  const unsigned n = 2048;
  std::vector<double> in(n);
  std::vector<cd> z(n);
  for (unsigned m = 0; m < n; ++m) {
    in[m] = 3.0 * std::cos(2.0 * std::numbers::pi * 37.25 * m / n + 0.4) + 0.5;
    z[m] = in[m];
  }
  std::vector<cd> out(n / 2 + 1);
  fwd_real<double>(n).transform(in.data(), out.data());
  fwd_complex<double>(n).transform(z.data());
  EXPECT_LT(RelMaxDiff(out, z, n / 2 + 1), kRelTol);
}

} // namespace

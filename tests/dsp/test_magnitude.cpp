#include "dsp/magnitude.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

namespace {

using cd = std::complex<double>;

// Against std::abs (hypot) within 2 ulps, over the normal range and the ranges where the squares under- or
// overflow, where the guarded fallback must take over.
TEST(Magnitude, AgreesWithHypotWithinTwoUlpsAtEveryScale) {
  std::mt19937 rng(5);
  std::normal_distribution<double> nd(0.0, 1.0);
  for (const double scale : {1.0, 1e-3, 1e3, 1e-160, 1e-200, 1e-310, 1e160, 1e300}) {
    std::vector<cd> z(257);
    for (cd &v : z) {
      v = cd(nd(rng), nd(rng)) * scale;
    }
    // Exact zeros among them, as a spectrum's residuals have: no guard needed for those, whatever the others.
    z[3] = 0.0;
    z[100] = cd(-0.0, 0.0);
    std::vector<double> all(z.size());
    dsp::Magnitudes(z.data(), z.size(), all.data());
    for (std::size_t i = 0; i < z.size(); ++i) {
      const double want = std::abs(z[i]);
      const double got = dsp::Magnitude(z[i]);
      EXPECT_LE(std::abs(got - want), 2.0 * (std::nextafter(want, INFINITY) - want)) << z[i];
      EXPECT_EQ(all[i], got) << "the batch and the single form agree exactly";
    }
  }
}

TEST(Magnitude, ZeroInfinityAndNaNBehaveLikeStdAbs) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(dsp::Magnitude(cd(0.0, -0.0)), 0.0);
  EXPECT_EQ(dsp::Magnitude(cd(-inf, 1.0)), inf);
  EXPECT_EQ(dsp::Magnitude(cd(nan, inf)), inf) << "hypot: an infinity wins over a NaN";
  EXPECT_TRUE(std::isnan(dsp::Magnitude(cd(nan, 1.0))));
  const std::vector<cd> z{{0.0, 0.0}, {3.0, 4.0}, {nan, 0.0}, {inf, nan}};
  std::vector<double> m(z.size());
  dsp::Magnitudes(z.data(), z.size(), m.data());
  EXPECT_EQ(m[0], 0.0);
  EXPECT_EQ(m[1], 5.0);
  EXPECT_TRUE(std::isnan(m[2]));
  EXPECT_EQ(m[3], inf);
}

} // namespace

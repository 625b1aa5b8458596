#include "dir_def_core/x4_dir_definer.h"

#include "test_signals.h"

#include <gtest/gtest.h>

using dir_def_core::TX4DirDefiner;
using namespace ddc_test;

namespace {

TX4DirDefiner ShippedDefiner() {
  TX4DirDefiner d;
  d.SoundSpeed = kC;
  d.SampleRate = kFs;
  d.MaxLag = 24;
  d.MicXYZ = ShippedXYZ();
  return d;
}

const std::vector<double> kWeights(6, 0.5); // four equal energy shares: 0.25 + 0.25 per pair

} // namespace

TEST(TX4DirDefinerNewton, SolvesModelDelaysBackToTheirDirection) {
  TX4DirDefiner def = ShippedDefiner();
  struct Case {
    double phi, theta, offset; // source direction and a common offset added to all six delays
    double wantPhi, wantTheta; // as reported: phi in [0, 2pi), theta in [0, pi]
  };
  for (const Case &c : {Case{0.3, 1.2, 0, 0.3, 1.2}, Case{2.0, kPi / 2, 0, 2.0, kPi / 2}, Case{5.9, 0.6, 0, 5.9, 0.6},
                        Case{1.0, 1.3, 0.01, 1.0, 1.3}, Case{4.0, 1.0, -0.02, 4.0, 1.0},
                        // a negative polar angle is the same direction with phi turned by pi
                        Case{0.5, -0.2, 0, 0.5 + kPi, 0.2}, Case{-0.1, 1.2, 0, 2 * kPi - 0.1, 1.2},
                        Case{2 * kPi + 0.4, 1.0, 0, 0.4, 1.0}}) {
    SCOPED_TRACE(c.phi);
    SCOPED_TRACE(c.theta);
    std::vector<double> d = ModelDelays(c.phi, c.theta);
    for (auto &v : d) {
      v += c.offset;
    }
    std::vector<double> x{c.phi + 0.1, c.theta + 0.05, 0.0};
    std::vector<double> result;
    def.Newton(x, d, kWeights, 50, 1e-14, result);
    ASSERT_EQ(result.size(), 4u);
    EXPECT_NEAR(result[0], c.wantPhi, 1e-9);
    EXPECT_NEAR(result[1], c.wantTheta, 1e-9);
    EXPECT_NEAR(result[2], c.offset, 1e-12);
    EXPECT_NEAR(x[0], c.phi, 1e-6); // x keeps the last iterate, not normalised
    if (c.offset == 0) {
      EXPECT_NEAR(result[3], 0.0, 1e-9);
    } else {
      EXPECT_GT(result[3] * c.offset, 0.0); // q signed like beta
    }
  }
}

TEST(TX4DirDefinerNewton, JacobianMatchesFiniteDifferencesOfTheResiduals) {
  const TX4DirDefiner def = ShippedDefiner();
  const std::vector<double> d = ModelDelays(0.7, 1.1);
  const std::vector<double> x{2.2, 0.9, 0.003};
  TX4DirDefiner::TMatrix j;
  def.J_fun(x, j);
  ASSERT_EQ(j.size(), 6u);
  for (std::size_t col = 0; col < 3; ++col) {
    std::vector<double> xp = x, xm = x, gp, gm;
    xp[col] += 1e-6;
    xm[col] -= 1e-6;
    def.G_fun(xp, d, gp);
    def.G_fun(xm, d, gm);
    for (std::size_t k = 0; k < 6; ++k) {
      EXPECT_NEAR(j[k][col], (gp[k] - gm[k]) / 2e-6, 1e-7) << k << "," << col;
    }
  }
}

TEST(TX4DirDefinerNewton, RejectsArraysThatDoNotFitThePairs) {
  TX4DirDefiner def = ShippedDefiner();
  const std::vector<double> d = ModelDelays(1.0, 1.0);
  std::vector<double> x{1.0, 1.0, 0.0};
  std::vector<double> result;
  try {
    def.Newton(x, d, std::vector<double>(5, 0.2), 50, 1e-14, result);
    ADD_FAILURE();
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "BAD MATRS");
  }
  EXPECT_THROW(def.Newton(x, std::vector<double>(5, 0.0), kWeights, 50, 1e-14, result), std::invalid_argument);
}

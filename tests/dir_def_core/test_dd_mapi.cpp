#include "dir_def_core/dd_mapi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using dd_mapi::matr_det;
using dd_mapi::matr_inverse;
using dd_mapi::TMatrix;

TEST(DdMapi, SolvesTheWorkedExampleAndRandomMatrices) {
  const TMatrix a{{1, 2, 3}, {4, 5, 6}, {7, 8, 10}};
  EXPECT_NEAR(matr_det(a), -3.0, 1e-12);
  TMatrix inv{{9, 9}}; // wrong shape on entry: resized
  matr_inverse(a, inv);
  const TMatrix expected{{-2.0 / 3, -4.0 / 3, 1}, {-2.0 / 3, 11.0 / 3, -2}, {1, -2, 1}};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_NEAR(inv.at(i).at(j), expected[i][j], 1e-12);
    }
  }
  // Random 2x2 against a d - b c, random 3x3 against the rule of Sarrus and A * inverse = I.
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-3, 3);
  for (int trial = 0; trial < 30; ++trial) {
    const TMatrix m2{{u(gen), u(gen)}, {u(gen), u(gen)}};
    EXPECT_NEAR(matr_det(m2), m2[0][0] * m2[1][1] - m2[0][1] * m2[1][0], 1e-12);
    const TMatrix m{{u(gen), u(gen), u(gen)}, {u(gen), u(gen), u(gen)}, {u(gen), u(gen), u(gen)}};
    EXPECT_NEAR(matr_det(m),
                m[0][0] * m[1][1] * m[2][2] + m[0][1] * m[1][2] * m[2][0] + m[0][2] * m[1][0] * m[2][1] -
                    m[0][2] * m[1][1] * m[2][0] - m[0][0] * m[1][2] * m[2][1] - m[0][1] * m[1][0] * m[2][2],
                1e-12);
    matr_inverse(m, inv);
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_NEAR(m[i][0] * inv[0][j] + m[i][1] * inv[1][j] + m[i][2] * inv[2][j], i == j ? 1.0 : 0.0, 1e-8);
      }
    }
  }
}

TEST(DdMapi, SingularMatrixGivesZeroDeterminantAndNonFiniteInverse) {
  const TMatrix a{{1, 2, 3}, {1, 2, 3}, {4, 5, 6}};
  EXPECT_EQ(matr_det(a), 0.0);
  TMatrix inv;
  matr_inverse(a, inv);
  for (const auto &row : inv) {
    for (const double v : row) {
      EXPECT_FALSE(std::isfinite(v));
    }
  }
  EXPECT_THROW(matr_det(TMatrix{{1, 2}, {3}}), std::invalid_argument);
}

// The fixed 3x3 form used by the locator is the same expansion: the same numbers, bit for bit.
TEST(DdMapi, FixedThreeByThreeInverseEqualsTheGeneralOne) {
  std::mt19937 gen(9);
  std::uniform_real_distribution<double> u(-3, 3);
  for (int trial = 0; trial < 50; ++trial) {
    dd_mapi::TMatrix3 a{};
    TMatrix v(3, std::vector<double>(3));
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        a[i][j] = v[i][j] = u(gen) * (trial % 5 == 0 ? 1e-7 : 1.0);
      }
    }
    dd_mapi::TMatrix3 fixed{};
    TMatrix general;
    matr_inverse(a, fixed);
    matr_inverse(v, general);
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(fixed[i][j], general[i][j]) << trial;
      }
    }
  }
}

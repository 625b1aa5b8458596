#include "dir_def_core/dd_mapi.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <numeric>
#include <stdexcept>

namespace dd_mapi {
namespace {

// Matrices up to this size are handled in fixed scratch arrays, so the solver's per-frame work does not
// allocate; larger ones (never requested by the station) use the heap.
constexpr std::size_t kFixed = 6;

void CheckSquare(const TMatrix &m) {
  for (const auto &row : m) {
    if (row.size() != m.size()) {
      throw std::invalid_argument("matrix is not square");
    }
  }
}

// Permutations of 0..N-1 in lexicographic order from the identity, with their parity.
template <std::size_t N> struct TPermTable {
  static constexpr std::size_t kCount = N == 2 ? 2 : 6;
  std::array<std::array<std::size_t, N>, kCount> Perm{};
  std::array<bool, kCount> Even{};
};

template <std::size_t N> constexpr TPermTable<N> MakePermTable() {
  TPermTable<N> t;
  std::array<std::size_t, N> perm{};
  for (std::size_t i = 0; i < N; ++i) {
    perm[i] = i;
  }
  std::size_t k = 0;
  do {
    std::size_t inversions = 0;
    for (std::size_t i = 0; i < N; ++i) {
      for (std::size_t j = i + 1; j < N; ++j) {
        inversions += perm[j] < perm[i] ? 1 : 0;
      }
    }
    t.Perm[k] = perm;
    t.Even[k] = inversions % 2 == 0;
    ++k;
  } while (std::next_permutation(perm.begin(), perm.end()));
  return t;
}

// DetExpansion below for n = 2 and 3 (the locator's minors and normal matrices) from a table built at compile
// time: the same permutations, signs and products in the same order, without enumerating them per call.
template <std::size_t N, typename At> double DetFromTable(At at) {
  static constexpr TPermTable<N> kTable = MakePermTable<N>();
  double det = 0.0;
  for (std::size_t k = 0; k < kTable.Perm.size(); ++k) {
    double product = 1.0;
    for (std::size_t r = 0; r < N; ++r) {
      product *= at(r, kTable.Perm[k][r]);
    }
    det += kTable.Even[k] ? product : -product;
  }
  return det;
}

// Permutation expansion over all n! permutations in lexicographic order from the identity, summed in that
// order; each product is taken in increasing row order from 1.0. `at(r, c)` reads the matrix.
template <typename At> double DetExpansion(std::size_t n, At at) {
  if (n == 2) {
    return DetFromTable<2>(at);
  }
  if (n == 3) {
    return DetFromTable<3>(at);
  }
  std::array<std::size_t, kFixed> fixedPerm{};
  std::vector<std::size_t> heapPerm;
  std::size_t *perm = fixedPerm.data();
  if (n > kFixed) {
    heapPerm.resize(n);
    perm = heapPerm.data();
  }
  std::iota(perm, perm + n, std::size_t{0});
  double det = 0.0;
  do {
    std::size_t inversions = 0;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        if (perm[j] < perm[i]) {
          ++inversions;
        }
      }
    }
    double product = 1.0;
    for (std::size_t r = 0; r < n; ++r) {
      product *= at(r, perm[r]);
    }
    det += (inversions % 2 == 0) ? product : -product;
  } while (std::next_permutation(perm, perm + n));
  return det;
}

} // namespace

double matr_det(const TMatrix &m) {
  CheckSquare(m);
  return DetExpansion(m.size(), [&](std::size_t r, std::size_t c) { return m[r][c]; });
}

namespace {

// Adjugate over determinant: out(i, j) = (-1)^(i+j) det(minor of the transpose without row i and column j) / det,
// for the n x n matrix read by at(r, c); `minor` holds (n-1)^2 values.
template <typename At, typename Set> void InverseByCofactors(std::size_t n, At at, Set set, double *minor) {
  const double det = DetExpansion(n, at);
  const std::size_t k = n - 1;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      // Minor of the transpose T (T[r][c] = a[c][r]) without row i and column j, rows and columns in
      // increasing order.
      std::size_t mr = 0;
      for (std::size_t r = 0; r < n; ++r) {
        if (r == i) {
          continue;
        }
        std::size_t mc = 0;
        for (std::size_t c = 0; c < n; ++c) {
          if (c == j) {
            continue;
          }
          minor[mr * k + mc] = at(c, r);
          ++mc;
        }
        ++mr;
      }
      // A 1x1 matrix has an empty minor; its determinant is taken as 1 so that the inverse is 1/a.
      const double cofactor =
          k == 0 ? 1.0 : DetExpansion(k, [&](std::size_t r, std::size_t c) { return minor[r * k + c]; });
      set(i, j, ((i + j) % 2 == 0 ? cofactor : -cofactor) / det);
    }
  }
}

} // namespace

void matr_inverse(const TMatrix &a, TMatrix &out) {
  CheckSquare(a);
  const std::size_t n = a.size();
  if (n == 0) {
    throw std::invalid_argument("matrix is empty");
  }
  out.resize(n);
  for (auto &row : out) {
    row.resize(n);
  }
  std::array<double, (kFixed - 1) * (kFixed - 1)> fixedMinor{};
  std::vector<double> heapMinor;
  double *minor = fixedMinor.data();
  if (n > kFixed) {
    heapMinor.resize((n - 1) * (n - 1));
    minor = heapMinor.data();
  }
  InverseByCofactors(
      n, [&](std::size_t r, std::size_t c) { return a[r][c]; },
      [&](std::size_t r, std::size_t c, double v) { out[r][c] = v; }, minor);
}

void matr_inverse(const TMatrix3 &a, TMatrix3 &out) {
  // InverseByCofactors for n = 3 written out: the same minors of the transpose, 2x2 determinants summed from
  // 0.0 in permutation order (the product of the identity, then minus the swapped one), the same division.
  static constexpr std::size_t kOther[3][2] = {{1, 2}, {0, 2}, {0, 1}}; // indices other than i, increasing
  const double det = DetFromTable<3>([&](std::size_t r, std::size_t c) { return a[r][c]; });
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t r0 = kOther[i][0];
    const std::size_t r1 = kOther[i][1];
    for (std::size_t j = 0; j < 3; ++j) {
      const std::size_t c0 = kOther[j][0];
      const std::size_t c1 = kOther[j][1];
      double cofactor = 0.0;
      cofactor += a[c0][r0] * a[c1][r1];
      cofactor += -(a[c1][r0] * a[c0][r1]);
      out[i][j] = ((i + j) % 2 == 0 ? cofactor : -cofactor) / det;
    }
  }
}

} // namespace dd_mapi

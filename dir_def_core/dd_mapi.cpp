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

// Permutation expansion over all n! permutations in lexicographic order from the identity, summed in that
// order; each product is taken in increasing row order from 1.0. `at(r, c)` reads the matrix.
template <typename At> double DetExpansion(std::size_t n, At at) {
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
  const double det = matr_det(a);
  const std::size_t k = n - 1;
  std::array<double, (kFixed - 1) * (kFixed - 1)> fixedMinor{};
  std::vector<double> heapMinor;
  double *minor = fixedMinor.data();
  if (n > kFixed) {
    heapMinor.resize(k * k);
    minor = heapMinor.data();
  }
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
          minor[mr * k + mc] = a[c][r];
          ++mc;
        }
        ++mr;
      }
      // A 1x1 matrix has an empty minor; its determinant is taken as 1 so that the inverse is 1/a.
      const double cofactor =
          k == 0 ? 1.0 : DetExpansion(k, [&](std::size_t r, std::size_t c) { return minor[r * k + c]; });
      out[i][j] = ((i + j) % 2 == 0 ? cofactor : -cofactor) / det;
    }
  }
}

} // namespace dd_mapi

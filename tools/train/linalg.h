#pragma once
// Small dense linear algebra for the trainer's fitting: symmetric eigen-decomposition of matrices of a few
// dozen rows. Sizes are tiny (feature count times power terms), so clarity beats speed here.

#include <cstddef>
#include <vector>

namespace train {

// Row-major square matrix of doubles.
struct TSquare {
  std::size_t n = 0;
  std::vector<double> a;

  TSquare() = default;
  explicit TSquare(std::size_t size) : n(size), a(size * size, 0.0) {}
  double &operator()(std::size_t r, std::size_t c) { return a[r * n + c]; }
  double operator()(std::size_t r, std::size_t c) const { return a[r * n + c]; }
};

// Eigen-decomposition A = V diag(values) V^T of a symmetric matrix.
// values are in descending order; vectors[i] is the unit eigenvector of values[i].
struct TSymEigen {
  std::vector<double> values;
  std::vector<std::vector<double>> vectors;
};

// Cyclic Jacobi rotations until the off-diagonal mass is negligible against the diagonal. Only the upper
// triangle is read; the input must be finite.
TSymEigen SymmetricEigen(const TSquare &a);

} // namespace train

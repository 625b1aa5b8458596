#include "tools/train/linalg.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace train {

TSymEigen SymmetricEigen(const TSquare &input) {
  const std::size_t n = input.n;
  TSquare a(n);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = r; c < n; ++c) {
      a(r, c) = input(r, c);
      a(c, r) = input(r, c);
    }
  }
  TSquare v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v(i, i) = 1.0;
  }

  // 100 sweeps is far beyond what Jacobi needs (it converges quadratically, a handful of sweeps for n < 50);
  // the bound only guards against a pathological input spinning for ever.
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    double diag = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
      diag += a(r, r) * a(r, r);
      for (std::size_t c = r + 1; c < n; ++c) {
        off += a(r, c) * a(r, c);
      }
    }
    if (off <= 1e-30 * diag || off == 0.0) {
      break;
    }
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = a(p, q);
        if (apq == 0.0) {
          continue;
        }
        // Rotation angle that zeroes a(p,q) (Rutishauser's stable form).
        const double theta = (a(q, q) - a(p, p)) / (2.0 * apq);
        const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (std::size_t k = 0; k < n; ++k) {
          const double akp = a(k, p);
          const double akq = a(k, q);
          a(k, p) = c * akp - s * akq;
          a(k, q) = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double apk = a(p, k);
          const double aqk = a(q, k);
          a(p, k) = c * apk - s * aqk;
          a(q, k) = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double vkp = v(k, p);
          const double vkq = v(k, q);
          v(k, p) = c * vkp - s * vkq;
          v(k, q) = s * vkp + c * vkq;
        }
      }
    }
  }

  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return a(x, x) > a(y, y); });
  TSymEigen out;
  out.values.reserve(n);
  out.vectors.reserve(n);
  for (std::size_t i : order) {
    out.values.push_back(a(i, i));
    std::vector<double> vec(n);
    for (std::size_t k = 0; k < n; ++k) {
      vec[k] = v(k, i);
    }
    out.vectors.push_back(std::move(vec));
  }
  return out;
}

} // namespace train

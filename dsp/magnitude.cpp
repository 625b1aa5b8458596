#include "dsp/magnitude.h"
#include "dsp/multiversion.h"

namespace dsp {

namespace {

// Squares of the operands never make a negative sum, so sqrt here never has a domain error to report: the file
// is compiled with -fno-math-errno, which lets the loop use the vector square root without changing any value.
ORMELIN_WIDE_VECTORS bool SquareRoots(const double *p, std::size_t n, double *out) {
  // SumOfSquaresIsNormal, with & for && so that the loop has no branch.
  int inside = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = p[2 * i] * p[2 * i] + p[2 * i + 1] * p[2 * i + 1];
    inside &= static_cast<int>(s >= DBL_MIN) & static_cast<int>(s <= DBL_MAX);
    out[i] = std::sqrt(s);
  }
  return inside == 0;
}

} // namespace

void Magnitudes(const std::complex<double> *z, std::size_t n, double *out) {
  if (SquareRoots(reinterpret_cast<const double *>(z), n, out)) [[unlikely]] {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = Magnitude(z[i]);
    }
  }
}

} // namespace dsp

#include "dsp/magnitude.h"
#include "dsp/multiversion.h"

namespace dsp {

namespace {

// Squares of the operands never make a negative sum, so sqrt here never has a domain error to report: the file
// is compiled with -fno-math-errno, which lets the loop use the vector square root without changing any value.
ORMELIN_WIDEST_VECTORS bool SquareRoots(const double *p, std::size_t n, double *out) {
  // SumOfSquaresIsNormal, with & for && so that the loop has no branch. An exact zero is inside too: sqrt(0) is
  // hypot(0, 0), and zeros are common (the residual of the bin that is its own spectral median), where sending
  // the whole spectrum to the second pass would cost more than the first.
  int inside = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const double re = p[2 * i];
    const double im = p[2 * i + 1];
    const double s = re * re + im * im;
    inside &= (static_cast<int>(s >= DBL_MIN) | (static_cast<int>(re == 0.0) & static_cast<int>(im == 0.0))) &
              static_cast<int>(s <= DBL_MAX);
    out[i] = std::sqrt(s);
  }
  return inside == 0;
}

} // namespace

void Magnitudes(const std::complex<double> *z, std::size_t n, double *out) {
  if (SquareRoots(reinterpret_cast<const double *>(z), n, out)) [[unlikely]] {
    // Only the values whose squares left the normal range are redone; the others already hold Magnitude's value.
    for (std::size_t i = 0; i < n; ++i) {
      const double re = z[i].real();
      const double im = z[i].imag();
      if (!SumOfSquaresIsNormal(re * re + im * im)) {
        out[i] = std::hypot(re, im);
      }
    }
  }
}

} // namespace dsp

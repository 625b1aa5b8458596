#pragma once
// |z| of a complex double as sqrt(re^2 + im^2). std::abs (hypot) rescales its operands on every call to guard
// against overflow and underflow of the squares, which costs several times the plain formula; the guard is
// only needed when the sum of squares leaves the normal range (|z| beyond about 1.3e154, or below about
// 1.5e-154, where the squares lose bits). So the plain formula is used and hypot takes over only for those
// values: the result is within an ulp of std::abs for every input, NaN and infinities included. Pure
// functions, callable from any thread.

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstddef>

namespace dsp {

inline bool SumOfSquaresIsNormal(double s) { return s >= DBL_MIN && s <= DBL_MAX; }

inline double Magnitude(const std::complex<double> &z) {
  const double re = z.real();
  const double im = z.imag();
  const double s = re * re + im * im;
  if (SumOfSquaresIsNormal(s)) [[likely]] {
    return std::sqrt(s);
  }
  return std::hypot(re, im);
}

// out[i] = Magnitude(z[i]) for i < n, bit for bit. The main loop has no branch, so it vectorises (it lives in
// magnitude.cpp, compiled without errno for sqrt, whose check on every element would keep it scalar, and cloned
// for AVX2); a second pass redoes the rare values whose squares left the normal range.
void Magnitudes(const std::complex<double> *z, std::size_t n, double *out);

} // namespace dsp

#include "dsp/fourier.h"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace dsp::fourier {
namespace {

std::uint32_t CheckedLog2(unsigned int size, unsigned int min_size = 8) {
  if (size < min_size || (size & (size - 1)) != 0) {
    throw std::length_error("invalid FFT size");
  }
  std::uint32_t bits = 0;
  while ((1U << bits) < size) {
    ++bits;
  }
  return bits;
}

// e^{i 2 pi sign k / period}. The angle is reduced to [0, period) in integers first, so every twiddle is
// within one rounding of the exact value however large the plan.
template <typename T> std::complex<T> Root(std::uint64_t k, std::uint64_t period, int sign) {
  const long double angle =
      2.0L * std::numbers::pi_v<long double> * static_cast<long double>(k % period) / static_cast<long double>(period);
  return {static_cast<T>(std::cos(angle)), static_cast<T>(sign * std::sin(angle))};
}

} // namespace

template <typename T>
basic_complex_plan<T>::basic_complex_plan(unsigned int size, int direction) : basic_complex_plan(size, direction, 8) {}

template <typename T>
basic_complex_plan<T>::basic_complex_plan(unsigned int size, int direction, unsigned int min_size)
    : n(size), log2n(CheckedLog2(size, min_size)), sign(direction < 0 ? -1 : +1) {
  for (std::uint32_t i = 1; i + 1 < n; ++i) {
    const std::uint32_t j = bit_reverse(i);
    if (i < j) {
      swaps.push_back(i);
      swaps.push_back(j);
    }
  }
  // Radix-4 stages combine four sub-transforms of m points into 4m points; m = 1 needs no twiddles.
  for (std::uint32_t m = (log2n % 2 != 0) ? 2 : 4; 4 * m <= n; m *= 4) {
    for (std::uint32_t j = 0; j < m; ++j) {
      for (std::uint32_t r = 1; r <= 3; ++r) {
        twiddles.push_back(Root<T>(static_cast<std::uint64_t>(r) * j, 4ULL * m, sign));
      }
    }
  }
}

template <typename T> std::uint32_t basic_complex_plan<T>::bit_reverse(std::uint32_t i) const {
  std::uint32_t r = 0;
  for (std::uint32_t b = 0; b < log2n; ++b) {
    r = (r << 1) | ((i >> b) & 1U);
  }
  return r;
}

template <typename T> void basic_complex_plan<T>::transform(std::complex<T> *x) const {
  for (std::size_t s = 0; s + 1 < swaps.size(); s += 2) {
    std::swap(x[swaps[s]], x[swaps[s + 1]]);
  }
  transform_bit_reversed(x);
}

template <typename T> void basic_complex_plan<T>::transform_bit_reversed(std::complex<T> *x) const {
  if (sign < 0) {
    passes<false>(x);
  } else {
    passes<true>(x);
  }
}

// Decimation in time over a bit-reversed buffer. In a block of 4m points the sub-transforms at offsets 0, m,
// 2m, 3m hold the inputs of residue 0, 2, 1, 3 modulo 4, hence the twiddles w^2j, w^j, w^3j on them. The
// arithmetic is written out on real and imaginary parts: std::complex's operator* would call the
// NaN-recovering __muldc3 on every product.
template <typename T> template <bool Inverse> void basic_complex_plan<T>::passes(std::complex<T> *x) const {
  T *p = reinterpret_cast<T *>(x);
  std::uint32_t m = 1;
  if (log2n % 2 != 0) {
    for (std::uint32_t i = 0; i < 2 * n; i += 4) {
      const T ar = p[i], ai = p[i + 1], br = p[i + 2], bi = p[i + 3];
      p[i] = ar + br;
      p[i + 1] = ai + bi;
      p[i + 2] = ar - br;
      p[i + 3] = ai - bi;
    }
    m = 2;
  } else {
    for (std::uint32_t i = 0; i < 2 * n; i += 8) {
      const T s0r = p[i] + p[i + 2], s0i = p[i + 1] + p[i + 3];
      const T d0r = p[i] - p[i + 2], d0i = p[i + 1] - p[i + 3];
      const T s1r = p[i + 4] + p[i + 6], s1i = p[i + 5] + p[i + 7];
      const T d1r = p[i + 4] - p[i + 6], d1i = p[i + 5] - p[i + 7];
      // (d1) rotated by -i (forward) or +i (inverse).
      const T rr = Inverse ? -d1i : d1i;
      const T ri = Inverse ? d1r : -d1r;
      p[i] = s0r + s1r;
      p[i + 1] = s0i + s1i;
      p[i + 4] = s0r - s1r;
      p[i + 5] = s0i - s1i;
      p[i + 2] = d0r + rr;
      p[i + 3] = d0i + ri;
      p[i + 6] = d0r - rr;
      p[i + 7] = d0i - ri;
    }
    m = 4;
  }
  const T *tw = reinterpret_cast<const T *>(twiddles.data());
  for (; 4 * m <= n; m *= 4) {
    for (std::uint32_t block = 0; block < n; block += 4 * m) {
      T *__restrict q0 = p + 2 * block;
      T *__restrict q1 = q0 + 2 * m;
      T *__restrict q2 = q1 + 2 * m;
      T *__restrict q3 = q2 + 2 * m;
      for (std::uint32_t j = 0; j < m; ++j) {
        const T *w = tw + 6 * j;
        const T w1r = w[0], w1i = w[1], w2r = w[2], w2i = w[3], w3r = w[4], w3i = w[5];
        const T ar = q0[2 * j], ai = q0[2 * j + 1];
        const T xr = q1[2 * j], xi = q1[2 * j + 1];
        const T yr = q2[2 * j], yi = q2[2 * j + 1];
        const T zr = q3[2 * j], zi = q3[2 * j + 1];
        const T br = xr * w2r - xi * w2i, bi = xr * w2i + xi * w2r;
        const T cr = yr * w1r - yi * w1i, ci = yr * w1i + yi * w1r;
        const T dr = zr * w3r - zi * w3i, di = zr * w3i + zi * w3r;
        const T s0r = ar + br, s0i = ai + bi, d0r = ar - br, d0i = ai - bi;
        const T s1r = cr + dr, s1i = ci + di, d1r = cr - dr, d1i = ci - di;
        const T rr = Inverse ? -d1i : d1i;
        const T ri = Inverse ? d1r : -d1r;
        q0[2 * j] = s0r + s1r;
        q0[2 * j + 1] = s0i + s1i;
        q2[2 * j] = s0r - s1r;
        q2[2 * j + 1] = s0i - s1i;
        q1[2 * j] = d0r + rr;
        q1[2 * j + 1] = d0i + ri;
        q3[2 * j] = d0r - rr;
        q3[2 * j + 1] = d0i - ri;
      }
    }
    tw += 6 * m;
  }
}

template <typename T> fwd_real<T>::fwd_real(unsigned int size) : half(size / 2, -1, 4), n(size) {
  CheckedLog2(size);
  const std::uint32_t h = n / 2;
  load_order.resize(h);
  for (std::uint32_t m = 0; m < h; ++m) {
    load_order[m] = half.bit_reverse(m);
  }
  split.resize(h / 2 + 1);
  for (std::uint32_t k = 0; k <= h / 2; ++k) {
    const std::complex<T> w = Root<T>(k, n, -1);
    split[k] = {w.imag() / 2, -w.real() / 2};
  }
}

// z[m] = in[2m] + i in[2m + 1] is transformed on n/2 points into Z; with a = Z[k], b = Z[n/2 - k]:
// X[k] = (a + conj b) / 2 + t_k (a - conj b) and X[n/2 - k] = conj((a + conj b) / 2 - t_k (a - conj b)), where
// t_k = -i e^{-2 pi i k / n} / 2.
template <typename T> void fwd_real<T>::transform(const T *in, std::complex<T> *out) const {
  const std::uint32_t h = n / 2;
  T *p = reinterpret_cast<T *>(out);
  for (std::uint32_t m = 0; m < h; ++m) {
    T *slot = p + 2 * load_order[m];
    slot[0] = in[2 * m];
    slot[1] = in[2 * m + 1];
  }
  half.transform_bit_reversed(out);
  const T z0r = p[0], z0i = p[1];
  const T *t = reinterpret_cast<const T *>(split.data());
  for (std::uint32_t k = 1; k <= h / 2; ++k) {
    T *lo = p + 2 * k;
    T *hi = p + 2 * (h - k);
    const T ar = lo[0], ai = lo[1], br = hi[0], bi = hi[1];
    const T er = T(0.5) * (ar + br), ei = T(0.5) * (ai - bi);
    const T dr = ar - br, di = ai + bi;
    const T tr = t[2 * k], ti = t[2 * k + 1];
    const T pr = tr * dr - ti * di, pi = tr * di + ti * dr;
    hi[0] = er - pr;
    hi[1] = pi - ei;
    lo[0] = er + pr;
    lo[1] = ei + pi;
  }
  p[0] = z0r + z0i;
  p[1] = 0;
  p[2 * h] = z0r - z0i;
  p[2 * h + 1] = 0;
}

template class basic_complex_plan<double>;
template class fwd_real<double>;

} // namespace dsp::fourier

#include "dsp/fourier.h"
#include "dsp/multiversion.h"

#include <cmath>
#include <cstring>
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
  // Radix-4 stages combine four sub-transforms of m points into 4m points; m = 1 needs no twiddles. Every
  // such stage has m >= 2, so its butterflies go in groups of g (2 for m = 2, else 4), and each group's twiddles
  // w^rj are stored per r as 2g doubles (re_j, re_j, re_j+1, re_j+1, ..) and 2g (-im_j, im_j, -im_j+1, im_j+1,
  // ..): a product of g interleaved complex values by them is then two multiplies, a swap of re/im and an add.
  for (std::uint32_t m = (log2n % 2 != 0) ? 2 : 4; 4 * m <= n; m *= 4) {
    const std::uint32_t g = m == 2 ? 2 : 4;
    for (std::uint32_t j = 0; j < m; j += g) {
      for (std::uint32_t r = 1; r <= 3; ++r) {
        std::complex<T> w[4];
        for (std::uint32_t k = 0; k < g; ++k) {
          w[k] = Root<T>(static_cast<std::uint64_t>(r) * (j + k), 4ULL * m, sign);
          twiddles.emplace_back(w[k].real(), w[k].real());
        }
        for (std::uint32_t k = 0; k < g; ++k) {
          twiddles.emplace_back(-w[k].imag(), w[k].imag());
        }
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

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8i __attribute__((vector_size(64)));

// One radix-4 stage of quarter span m on vectors V of L doubles (L / 2 interleaved complex values, so L / 2
// butterflies j .. j + L / 2 - 1 at a time), VI the matching index vector. In a block of 4m points the
// sub-transforms at offsets 0, m, 2m, 3m hold the inputs of residue 0, 2, 1, 3 modulo 4, hence the twiddles w^2j,
// w^j, w^3j on them, read from records of 6 L doubles (see the plan's constructor). Same operations in the same
// order as the scalar butterfly whatever the width, so every width gives the same bits. Always inlined, so that it
// takes the instruction set of the clone it is inlined into.
template <typename V, typename VI, bool Inverse>
[[gnu::always_inline]] inline void Radix4Stage(double *p, std::uint32_t n, std::uint32_t m, const double *tw) {
  constexpr std::size_t L = sizeof(V) / sizeof(double);
  // Multiplying by -i (forward) or +i (inverse) after swapping re and im.
  V rot;
  VI swap;
  for (std::size_t i = 0; i < L; ++i) {
    rot[i] = (i % 2 == 0) == Inverse ? -1.0 : 1.0;
    swap[i] = static_cast<long long>(i ^ 1U);
  }
  for (std::uint32_t block = 0; block < n; block += 4 * m) {
    double *q0 = p + std::size_t{2} * block;
    double *q1 = q0 + std::size_t{2} * m;
    double *q2 = q1 + std::size_t{2} * m;
    double *q3 = q2 + std::size_t{2} * m;
    const double *w = tw;
    for (std::size_t j = 0; j < std::size_t{2} * m; j += L, w += 6 * L) {
      V a, x, y, z, w1r, w1i, w2r, w2i, w3r, w3i;
      std::memcpy(&a, q0 + j, sizeof a);
      std::memcpy(&x, q1 + j, sizeof x);
      std::memcpy(&y, q2 + j, sizeof y);
      std::memcpy(&z, q3 + j, sizeof z);
      std::memcpy(&w1r, w, sizeof w1r);
      std::memcpy(&w1i, w + L, sizeof w1i);
      std::memcpy(&w2r, w + 2 * L, sizeof w2r);
      std::memcpy(&w2i, w + 3 * L, sizeof w2i);
      std::memcpy(&w3r, w + 4 * L, sizeof w3r);
      std::memcpy(&w3i, w + 5 * L, sizeof w3i);
      const V b = x * w2r + __builtin_shuffle(x, swap) * w2i;
      const V c = y * w1r + __builtin_shuffle(y, swap) * w1i;
      const V d = z * w3r + __builtin_shuffle(z, swap) * w3i;
      const V s0 = a + b, d0 = a - b, s1 = c + d, d1 = c - d;
      const V r = __builtin_shuffle(d1, swap) * rot;
      const V o0 = s0 + s1, o2 = s0 - s1, o1 = d0 + r, o3 = d0 - r;
      std::memcpy(q0 + j, &o0, sizeof o0);
      std::memcpy(q1 + j, &o1, sizeof o1);
      std::memcpy(q2 + j, &o2, sizeof o2);
      std::memcpy(q3 + j, &o3, sizeof o3);
    }
  }
}

// The radix-4 stages of a double plan from quarter span m on: m = 2 (two butterflies per stage block) on vectors
// of four doubles, every later stage on vectors of eight. Cloned for AVX-512, where an eight-double vector is one
// register, and AVX2; the default clone runs each vector as SSE2 pieces.
template <bool Inverse>
ORMELIN_WIDEST_VECTORS void Radix4Stages(double *p, std::uint32_t n, std::uint32_t m, const double *tw) {
  for (; 4 * m <= n; m *= 4) {
    if (m == 2) {
      Radix4Stage<v4d, v4i, Inverse>(p, n, m, tw);
    } else {
      Radix4Stage<v8d, v8i, Inverse>(p, n, m, tw);
    }
    tw += std::size_t{12} * m;
  }
}

// The first, twiddle-free radix-4 pass (m = 1) of a double plan: one butterfly of four adjacent complex values
// per eight-double vector. Sums and differences of pairs come from shuffled copies, a difference as the sum with
// the negated operand (the same bits, as IEEE defines subtraction that way), and the rotation by -i or +i as a
// swap and a sign, so every value is the scalar butterfly's.
template <bool Inverse> ORMELIN_WIDEST_VECTORS void FirstRadix4Pass(double *p, std::uint32_t n) {
  const v8i pick0 = {0, 1, 0, 1, 4, 5, 4, 5}; // p0 p0 p2 p2
  const v8i pick1 = {2, 3, 2, 3, 6, 7, 6, 7}; // p1 p1 p3 p3
  const v8d signs1 = {1.0, 1.0, -1.0, -1.0, 1.0, 1.0, -1.0, -1.0};
  const v8i pickSD = {0, 1, 2, 3, 0, 1, 2, 3}; // s0 d0 s0 d0
  const v8i pickR = {4, 5, 7, 6, 4, 5, 7, 6};  // s1, d1 swapped, s1, d1 swapped
  // s1, r, -s1, -r with r = (d1i, -d1r) forward, (-d1i, d1r) inverse.
  const v8d signs2 =
      Inverse ? v8d{1.0, 1.0, -1.0, 1.0, -1.0, -1.0, 1.0, -1.0} : v8d{1.0, 1.0, 1.0, -1.0, -1.0, -1.0, -1.0, 1.0};
  for (std::uint32_t i = 0; i < 2 * n; i += 8) {
    v8d x;
    std::memcpy(&x, p + i, sizeof x);
    const v8d u = __builtin_shuffle(x, pick0) + __builtin_shuffle(x, pick1) * signs1; // s0 d0 s1 d1
    const v8d o = __builtin_shuffle(u, pickSD) + __builtin_shuffle(u, pickR) * signs2;
    std::memcpy(p + i, &o, sizeof o);
  }
}

// The split of the real transform (see fwd_real::transform) for k = 1, 3, 5, .. while the pairs k, k + 1 and
// h - k - 1, h - k stay apart, two bins per vector; returns the first k left for the scalar loop. The same
// operations in the same order as the scalar loop, so every bin gets the same bits.
ORMELIN_WIDE_VECTORS std::uint32_t SplitPairs(double *p, const double *t, std::uint32_t h) {
  const v4i swap = {1, 0, 3, 2};
  const v4i reverse = {2, 3, 0, 1}; // the two complex values of a vector exchanged
  const v4i dupRe = {0, 0, 2, 2};
  const v4i dupIm = {1, 1, 3, 3};
  const v4d conj = {1.0, -1.0, 1.0, -1.0};
  const v4d negRe = {-1.0, 1.0, -1.0, 1.0};
  const v4d half = {0.5, 0.5, 0.5, 0.5};
  std::uint32_t k = 1;
  for (; 2 * k + 2 < h; k += 2) {
    v4d a, b, tv;
    const std::size_t at = 2 * std::size_t{k};
    const std::size_t mirror = 2 * std::size_t{h - k - 1};
    std::memcpy(&a, p + at, sizeof a);
    std::memcpy(&b, p + mirror, sizeof b);
    std::memcpy(&tv, t + at, sizeof tv);
    b = __builtin_shuffle(b, reverse);
    const v4d bc = b * conj;
    const v4d e = half * (a + bc);
    const v4d d = a - bc;
    const v4d pr =
        d * __builtin_shuffle(tv, dupRe) + __builtin_shuffle(d, swap) * (__builtin_shuffle(tv, dupIm) * negRe);
    const v4d lo = e + pr;
    const v4d hi = __builtin_shuffle(pr * negRe + e * conj, reverse);
    std::memcpy(p + at, &lo, sizeof lo);
    std::memcpy(p + mirror, &hi, sizeof hi);
  }
  return k;
}

} // namespace

// Decimation in time over a bit-reversed buffer: the first pass (radix 2 when log2(n) is odd, else radix 4 on
// m = 1, both twiddle-free) in scalars, the rest in Radix4Stages. The arithmetic is written out on real and
// imaginary parts: std::complex's operator* would call the NaN-recovering __muldc3 on every product.
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
    FirstRadix4Pass<Inverse>(p, n);
    m = 4;
  }
  Radix4Stages<Inverse>(p, n, m, reinterpret_cast<const T *>(twiddles.data()));
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
namespace {
// Two consecutive samples, the unit the real transform loads its packed sequence in.
template <typename T> struct TPairOf;
template <> struct TPairOf<double> { typedef double type __attribute__((vector_size(16))); };
template <typename T> using TPair = typename TPairOf<T>::type;
template <typename T> TPair<T> LoadPair(const T *at) {
  TPair<T> v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
} // namespace

template <typename T> void fwd_real<T>::transform(const T *in, std::complex<T> *out) const {
  run([in](std::uint32_t i) { return LoadPair(in + i); }, out);
}

template <typename T> void fwd_real<T>::transform_scaled(const T *in, T a, T b, std::complex<T> *out) const {
  run([in, a, b](std::uint32_t i) { return (LoadPair(in + i) * a) * b; }, out);
}

// load(i) gives input samples i and i + 1. Element m + h/2 of the packed sequence lands right after element m
// (bit_reverse sets the low bit for the top one), so the two go in together: samples 2m, 2m + 1 and then
// 2m + h, 2m + h + 1 into four consecutive values.
template <typename T> template <typename Load> void fwd_real<T>::run(Load load, std::complex<T> *out) const {
  const std::uint32_t h = n / 2;
  T *p = reinterpret_cast<T *>(out);
  const std::uint32_t q = h / 2;
  for (std::uint32_t m = 0; m < q; ++m) {
    T *slot = p + 2 * std::size_t{load_order[m]};
    const TPair<T> lo = load(2 * m);
    const TPair<T> hi = load(2 * m + h);
    std::memcpy(slot, &lo, sizeof lo);
    std::memcpy(slot + 2, &hi, sizeof hi);
  }
  half.transform_bit_reversed(out);
  const T z0r = p[0], z0i = p[1];
  const T *t = reinterpret_cast<const T *>(split.data());
  for (std::uint32_t k = SplitPairs(p, t, h); k <= h / 2; ++k) {
    T *lo = p + 2 * std::size_t{k};
    T *hi = p + 2 * std::size_t{h - k};
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
  p[2 * std::size_t{h}] = z0r - z0i;
  p[2 * std::size_t{h} + 1] = 0;
}

template class basic_complex_plan<double>;
template class fwd_real<double>;

} // namespace dsp::fourier

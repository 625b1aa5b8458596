#pragma once
// Power-of-two FFT plans. A complex plan holds the bit-reversal permutation (as a list of swaps) and, for
// every radix-4 stage, the twiddles w^j, w^2j, w^3j in natural order, laid out for two or four butterflies per vector,
// so that `transform` walks them contiguously: an in-place permutation followed by radix-4 butterfly passes (one
// radix-2 pass first when log2(n) is odd) over the caller's buffer. Results are unscaled. A plan is immutable after
// construction and may be shared by threads that transform their own buffers.

#include <complex>
#include <cstdint>
#include <vector>

namespace dsp::fourier {

template <typename T> class fwd_real;

template <typename T> class basic_complex_plan {
public:
  // sign -1: forward plan (e^{-2 pi i k m / n}); +1: inverse plan (conjugate twiddles).
  basic_complex_plan(unsigned int n, int sign);
  void transform(std::complex<T> *x) const;
  unsigned int size() const { return n; }

  // The butterfly passes alone, for a buffer whose element bit_reverse(i) already holds input i (the real
  // transform loads its samples straight into that order). Same thread rules as transform.
  void transform_bit_reversed(std::complex<T> *x) const;
  // bit_reverse(i) over log2(n) bits, for i < n.
  std::uint32_t bit_reverse(std::uint32_t i) const;

private:
  friend class fwd_real<T>;
  // `min_size` 4 lets the real transform of 8 points use a 4-point half plan.
  basic_complex_plan(unsigned int n, int sign, unsigned int min_size);
  template <bool Inverse> void passes(std::complex<T> *x) const;

  // Per radix-4 stage with quarter span m, per group of g butterflies j .. j + g - 1 (g = 2 for m = 2, else 4) and
  // per r = 1, 2, 3: (re w^rk, re w^rk) for each k of the group, then (-im w^rk, im w^rk) for each.
  std::vector<std::complex<T>> twiddles;
  std::vector<std::uint32_t> swaps; // pairs (i, bit_reverse(i)) with i < bit_reverse(i)
  std::uint32_t n;
  std::uint32_t log2n;
  int sign;
};

// Forward transform: x[k] = sum_m x_in[m] e^{-2 pi i k m / N}, unscaled. Throws std::length_error
// "invalid FFT size" for n < 8 or n not a power of two.
template <typename T> class fwd_complex : public basic_complex_plan<T> {
public:
  explicit fwd_complex(unsigned int n) : basic_complex_plan<T>(n, -1) {}
};

// Inverse transform: x[m] = sum_k X[k] e^{+2 pi i k m / N}, unscaled (divide by N yourself).
template <typename T> class inv_complex : public basic_complex_plan<T> {
public:
  explicit inv_complex(unsigned int n) : basic_complex_plan<T>(n, +1) {}
};

// Forward transform of n real samples: out[k] = sum_m in[m] e^{-2 pi i k m / n} for k = 0 .. n/2 (n/2 + 1
// values; the other bins are conj(out[n - k])), unscaled. The even and odd samples are packed as one n/2-point
// complex sequence, transformed, and split into the two half spectra. `out` itself is the work area, so the
// plan needs no scratch of its own: it is immutable after construction and may be shared by threads that
// transform into their own output buffers. `in` and `out` must not overlap. Throws std::length_error
// "invalid FFT size" for n < 8 or n not a power of two.
template <typename T> class fwd_real {
public:
  explicit fwd_real(unsigned int n);
  void transform(const T *in, std::complex<T> *out) const;
  // The transform of the samples (in[m] * a) * b, each product rounded as written, without a scaled copy of the
  // input: the products are taken as the samples are loaded.
  void transform_scaled(const T *in, T a, T b, std::complex<T> *out) const;
  unsigned int size() const { return n; }

private:
  template <typename Load> void run(Load load, std::complex<T> *out) const;

  basic_complex_plan<T> half;            // n/2 points, forward
  std::vector<std::uint32_t> load_order; // load_order[m] = half.bit_reverse(m)
  std::vector<std::complex<T>> split;    // -i e^{-2 pi i k / n} / 2, k <= n/4
  std::uint32_t n;
};

extern template class basic_complex_plan<double>;
extern template class fwd_real<double>;

} // namespace dsp::fourier

#pragma once
// Radix-2 complex FFT plans. A plan holds the twiddles (bit-reversed order) and the swap list that puts the
// result into natural order; `transform` is an in-place butterfly pass over the caller's buffer followed by
// the swaps. Results are unscaled. A plan is immutable after construction and may be shared by threads that
// transform their own buffers.

#include <complex>
#include <cstdint>
#include <vector>

namespace dsp::fourier {

template <typename T> class basic_complex_plan {
public:
  // sign -1: forward plan (e^{-2 pi i k m / n}); +1: inverse plan (conjugate twiddles).
  basic_complex_plan(unsigned int n, int sign);
  void transform(std::complex<T> *x) const;
  unsigned int size() const { return n; }
  const std::vector<std::complex<T>> &twiddle_table() const { return twiddles; }
  const std::vector<std::uint32_t> &swap_list() const { return swaps; }

private:
  std::vector<std::complex<T>> twiddles;
  std::vector<std::uint32_t> swaps;
  std::uint32_t n;
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

extern template class basic_complex_plan<double>;

} // namespace dsp::fourier

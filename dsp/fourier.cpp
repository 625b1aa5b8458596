#include "dsp/fourier.h"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace dsp::fourier {
namespace {

// Walks i = 1 .. count - 2 with j the bit reverse of i over log2(count) bits, calling f(i, j) for each.
template <typename F> void for_each_bit_reverse(std::uint32_t count, F f) {
  std::uint32_t j = count / 2;
  for (std::uint32_t i = 1; i + 1 < count; ++i) {
    f(i, j);
    std::uint32_t bit = count / 2;
    while (bit != 0 && (j & bit) != 0) {
      j &= ~bit;
      bit >>= 1;
    }
    j |= bit;
  }
}

} // namespace

template <typename T> basic_complex_plan<T>::basic_complex_plan(unsigned int size, int sign) : n(size) {
  if (size <= 7) {
    throw std::length_error("invalid FFT size");
  }
  for (unsigned int v = size; v != 1; v /= 2) {
    if (v % 2 != 0) {
      throw std::length_error("invalid FFT size");
    }
  }
  const std::uint32_t half = n / 2;
  twiddles.resize(half);
  const T step = static_cast<T>(sign) * std::numbers::pi_v<T> / static_cast<T>(half);
  for (std::uint32_t i = 0; i < half; ++i) {
    const T angle = static_cast<T>(i) * step;
    twiddles[i] = {std::cos(angle), std::sin(angle)};
  }
  for_each_bit_reverse(half, [&](std::uint32_t i, std::uint32_t j) {
    if (i < j) {
      std::swap(twiddles[i], twiddles[j]);
    }
  });
  for_each_bit_reverse(n, [&](std::uint32_t i, std::uint32_t j) {
    if (j > i) {
      swaps.push_back(i);
      swaps.push_back(j);
    }
  });
}

template <typename T> void basic_complex_plan<T>::transform(std::complex<T> *x) const {
  std::uint32_t groups = 1;
  for (std::uint32_t span = n / 2; span >= 1; span /= 2) {
    for (std::uint32_t k = 0; k < groups; ++k) {
      const std::complex<T> w = twiddles[k];
      const std::uint32_t begin = k * 2 * span + span;
      for (std::uint32_t p = begin; p < begin + span; ++p) {
        const std::complex<T> t = w * x[p];
        const std::complex<T> a = x[p - span];
        x[p - span] = a + t;
        x[p] = a - t;
      }
    }
    groups *= 2;
  }
  for (std::size_t s = 0; s + 1 < swaps.size(); s += 2) {
    std::swap(x[swaps[s]], x[swaps[s + 1]]);
  }
}

template class basic_complex_plan<double>;

} // namespace dsp::fourier

#pragma once
// Small deterministic random generator for the virtual array's scene: the same seed gives the same numbers on
// every platform and standard library (std::normal_distribution does not promise that). xoshiro256** seeded by
// splitmix64; Gaussian numbers by the Box-Muller transform. Not thread-safe: each owner keeps its own.

#include <cmath>
#include <cstdint>
#include <numbers>

namespace sim {

class TRandom {
public:
  // `stream` separates independent sequences drawn from one user seed (sensor noise of microphone 2, the
  // drone's parameters, ...), so adding a consumer never shifts the numbers another consumer sees.
  explicit TRandom(std::uint64_t seed, std::uint64_t stream = 0) {
    std::uint64_t x = seed ^ (0x9E3779B97F4A7C15ULL * (stream + 1));
    for (auto &s : state_) {
      s = SplitMix(x);
    }
  }

  std::uint64_t NextU64() {
    const std::uint64_t result = Rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotl(state_[3], 45);
    return result;
  }

  // Uniform in [0, 1), 53 bits.
  double Uniform() { return static_cast<double>(NextU64() >> 11) * 0x1.0p-53; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }

  // Standard normal (mean 0, variance 1).
  double Gaussian() {
    if (hasSpare_) {
      hasSpare_ = false;
      return spare_;
    }
    double u1 = Uniform();
    while (u1 <= 0.0) {
      u1 = Uniform();
    }
    const double u2 = Uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    spare_ = r * std::sin(2.0 * std::numbers::pi * u2);
    hasSpare_ = true;
    return r * std::cos(2.0 * std::numbers::pi * u2);
  }

  // True with probability p (p <= 0 never, p >= 1 always).
  bool Chance(double p) { return Uniform() < p; }

private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t SplitMix(std::uint64_t &x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t state_[4] = {};
  double spare_ = 0.0;
  bool hasSpare_ = false;
};

} // namespace sim

#pragma once
// Test signals for the direction finder: exact circular (also fractional) delays built as sums of cosines, a
// direct DFT, and the shipped array geometry with its model path differences.

#include "app/dir_def_params.h"

#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace ddc_test {

inline constexpr double kFs = 37500.0;
inline constexpr double kC = 343.0;
inline constexpr double kPi = std::numbers::pi;
using TFrames = std::vector<std::vector<double>>;

// Shipped geometry (cm, degrees): one microphone raised on +z, three at 120 degrees in the horizontal plane.
inline std::vector<TSrcMirophoneLocation> ShippedMics() {
  return {{10, 0, 0}, {10, 0, 90}, {10, 120, 90}, {10, 240, 90}};
}
// The same positions in metres.
inline std::vector<std::array<double, 3>> ShippedXYZ() {
  return {{0, 0, 0.1}, {0.1, 0, 0}, {-0.05, 0.1 * std::sin(2 * kPi / 3), 0}, {-0.05, -0.1 * std::sin(2 * kPi / 3), 0}};
}

// Cosines at bins 1..kMax of an n-periodic signal with random amplitudes and phases; Frames(taus) gives
// channel c delayed circularly by taus[c] samples (any real value): an exact band-limited fractional delay.
class TCosineSum {
public:
  TCosineSum(int n, int kMax, unsigned seed) : N(n) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int k = 1; k <= kMax; ++k) {
      Amp.push_back(0.2 + 0.8 * u(gen));
      Phase.push_back(2 * kPi * u(gen));
    }
  }
  TFrames Frames(const std::vector<double> &taus) const {
    TFrames f(taus.size(), std::vector<double>(static_cast<std::size_t>(N), 0.0));
    for (std::size_t c = 0; c < taus.size(); ++c) {
      for (int n = 0; n < N; ++n) {
        for (std::size_t i = 0; i < Amp.size(); ++i) {
          f[c][static_cast<std::size_t>(n)] +=
              Amp[i] * std::cos(2 * kPi * double(i + 1) * (n - taus[c]) / N + Phase[i]);
        }
      }
    }
    return f;
  }

private:
  int N;
  std::vector<double> Amp, Phase;
};

inline std::vector<double> WhiteNoise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> x(n);
  for (auto &v : x) {
    v = g(gen);
  }
  return x;
}

// y[i] = x[(i - d) mod N]: x delayed circularly by d whole samples.
inline std::vector<double> CircularDelay(const std::vector<double> &x, int d) {
  const auto n = static_cast<int>(x.size());
  std::vector<double> y(x.size());
  for (int i = 0; i < n; ++i) {
    y[static_cast<std::size_t>(i)] = x[static_cast<std::size_t>(((i - d) % n + n) % n)];
  }
  return y;
}

// X[k] = sum x[m] e^{-2 pi i k m / N}, by the definition.
inline std::vector<std::complex<double>> DirectDft(const std::vector<double> &x) {
  const std::size_t n = x.size();
  std::vector<std::complex<double>> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t m = 0; m < n; ++m) {
      out[k] += x[m] * std::polar(1.0, -2 * kPi * static_cast<double>((k * m) % n) / static_cast<double>(n));
    }
  }
  return out;
}

// Path differences (metres) of the six pairs for a source at 100 m in direction (phi, theta).
inline std::vector<double> ModelDelays(double phi, double theta) {
  const double s[3] = {100 * std::cos(phi) * std::sin(theta), 100 * std::sin(phi) * std::sin(theta),
                       100 * std::cos(theta)};
  std::vector<double> dist;
  for (const auto &p : ShippedXYZ()) {
    dist.push_back(std::hypot(s[0] - p[0], s[1] - p[1], s[2] - p[2]));
  }
  return {dist[0] - dist[1], dist[0] - dist[2], dist[0] - dist[3],
          dist[1] - dist[2], dist[1] - dist[3], dist[2] - dist[3]};
}

// Four frames of n samples of a broadband source (bins 1..kMax) at 100 m in direction (phi, theta).
inline TFrames SourceFrames(double phi, double theta, unsigned seed, int n = 1024, int kMax = 200) {
  const std::vector<double> d = ModelDelays(phi, theta); // d[0..2] = dist0 - dist1..3
  return TCosineSum(n, kMax, seed).Frames({0.0, -d[0] * kFs / kC, -d[1] * kFs / kC, -d[2] * kFs / kC});
}

} // namespace ddc_test

#pragma once
// A four-microphone scene for the direction tests: one broadband source far away in direction (azimuth,
// polar angle), each microphone receiving it with its exact propagation delay. Fractional delays are applied
// as phase ramps in the frequency domain of one long circular noise record, so they are exact to rounding.

#include "app/dir_def_params.h"
#include "dsp/fourier.h"

#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

// Three microphones 10 cm from the centre at 120 degree steps in the horizontal plane, one 10 cm up the z axis
// (not coplanar, so the polar angle is determined).
inline TDirDefParams SceneSettings(int outAvgLen) {
  TDirDefParams p;
  p.FSampling = 37500.0;
  p.VSound = 343.0;
  p.SM_Disp = 30;
  p.FrameSize = 1024;
  p.F_flt_min = 4000.0;
  p.F_flt_max = 20000.0;
  p.VinerWnd = 64;
  p.EnableViner = false;
  p.PairRefine = false;
  p.OutAvgLen = outAvgLen;
  p.Mics = {{10.0, 0.0, 90.0}, {10.0, 120.0, 90.0}, {10.0, 240.0, 90.0}, {10.0, 0.0, 0.0}};
  return p;
}

// n samples (a power of two) per channel; reader channel m is microphone m of `p` (still in cm and degrees).
inline std::array<std::vector<double>, 4> MakeScene(const TDirDefParams &p, double azimuthDeg, double polarDeg,
                                                    unsigned n, unsigned seed = 11) {
  const double deg = std::numbers::pi / 180.0;
  const double ux = std::sin(polarDeg * deg) * std::cos(azimuthDeg * deg);
  const double uy = std::sin(polarDeg * deg) * std::sin(azimuthDeg * deg);
  const double uz = std::cos(polarDeg * deg);

  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1000.0);
  std::vector<std::complex<double>> spectrum(n);
  for (auto &v : spectrum) {
    v = noise(rng);
  }
  dsp::fourier::fwd_complex<double>(n).transform(spectrum.data());
  const dsp::fourier::inv_complex<double> inverse(n);

  std::array<std::vector<double>, 4> out;
  for (std::size_t m = 0; m < 4; ++m) {
    const TSrcMirophoneLocation &mic = p.Mics[m];
    const double r = mic.L / 100.0;
    const double x = r * std::sin(mic.Tetta * deg) * std::cos(mic.Fi * deg);
    const double y = r * std::sin(mic.Tetta * deg) * std::sin(mic.Fi * deg);
    const double z = r * std::cos(mic.Tetta * deg);
    // A microphone further towards the source hears it earlier: delay = -(u . r) / c, in samples.
    const double delay = -(ux * x + uy * y + uz * z) / p.VSound * p.FSampling;
    std::vector<std::complex<double>> shifted(n);
    for (unsigned k = 0; k < n; ++k) {
      const double f = (k < n / 2 ? static_cast<double>(k) : static_cast<double>(k) - n) / n;
      shifted[k] = k == n / 2 ? 0.0 : spectrum[k] * std::polar(1.0, -2.0 * std::numbers::pi * f * delay);
    }
    inverse.transform(shifted.data());
    out[m].resize(n);
    for (unsigned i = 0; i < n; ++i) {
      out[m][i] = shifted[i].real() / n;
    }
  }
  return out;
}

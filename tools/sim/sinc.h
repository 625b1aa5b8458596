#pragma once
// Band-limited interpolation for the virtual array: a Kaiser-windowed sinc kernel, the polyphase fractional
// delay that places a source's sound at each microphone with its exact propagation delay, and an offline
// resampler for recordings whose rate differs from the array's. Pure computation, no threads.

#include <cstddef>
#include <vector>

namespace sim {

// h(u) = fc * sinc(fc * u) * kaiser(u / H), zero for |u| >= H. u in samples, fc = cutoff as a fraction of the
// Nyquist frequency (0 < fc <= 1). Built once; `operator()` is a table lookup with linear interpolation
// (relative error below 1e-5), `Exact` the closed form.
class TSincKernel {
public:
  TSincKernel(int halfTaps, double cutoff, double kaiserBeta);

  double Exact(double u) const;
  double operator()(double u) const;
  int HalfTaps() const { return halfTaps_; }
  double Cutoff() const { return cutoff_; }

private:
  static constexpr int kOversample = 512; // table points per sample of u

  int halfTaps_;
  double cutoff_;
  double beta_;
  double i0Beta_;
  std::vector<double> table_; // h(i / kOversample) for i = 0 .. halfTaps_ * kOversample + 1
};

// Modified Bessel function of the first kind, order 0 (power series; adequate for the window's arguments).
double BesselI0(double x);

// Polyphase fractional delay: the value of a band-limited sequence at a position between its samples.
// 2H taps (64 by default), 512 phases with linear interpolation between neighbouring phases. Each phase's
// coefficients sum to 1 (exact DC gain). With the defaults the pass band reaches 0.40 x the sampling rate
// with ripple near 1e-4, which keeps the delay error far below 0.001 sample there.
class TFractionalDelay {
public:
  static constexpr int kDefaultHalfTaps = 32;
  static constexpr double kDefaultCutoff = 0.88;
  static constexpr double kDefaultBeta = 8.0;

  explicit TFractionalDelay(int halfTaps = kDefaultHalfTaps, double cutoff = kDefaultCutoff,
                            double kaiserBeta = kDefaultBeta, int phases = 512);

  int HalfTaps() const { return halfTaps_; }
  int Taps() const { return 2 * halfTaps_; }

  // `window` points at 2H consecutive samples x[i - H + 1] .. x[i + H]; returns the interpolated value at
  // position i + mu, 0 <= mu < 1. No allocation.
  double Interpolate(const double *window, double mu) const;

private:
  int halfTaps_;
  int phases_;
  std::vector<double> coeffs_; // (phases_ + 1) rows of 2H coefficients
};

// Band-limited resampling of a whole recording from rateIn to rateOut (Hz, both > 0). Downsampling lowers the
// cutoff to the new Nyquist frequency. Samples outside the input count as zero. Offline use only.
std::vector<double> Resample(const std::vector<double> &in, double rateIn, double rateOut);

} // namespace sim

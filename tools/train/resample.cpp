#include "tools/train/resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace train {
namespace {

// Modified Bessel function of the first kind, order 0, by its power series (converges fast for x < 50).
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double q = 0.25 * x * x;
  for (int k = 1; k < 200; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
    if (term < 1e-17 * sum) {
      break;
    }
  }
  return sum;
}

} // namespace

TSincResampler::TSincResampler(double inRateHz, double outRateHz) : step_(inRateHz / outRateHz) {
  constexpr double kStopDb = 90.0;
  const double beta = 0.1102 * (kStopDb - 8.7);
  const double lower = std::min(inRateHz, outRateHz);
  const double cutoff = 0.45 * lower / inRateHz;     // cycles per input sample
  const double transition = 0.05 * lower / inRateHz; // cycles per input sample, up to the lower Nyquist
  // Kaiser's length estimate for the stop-band attenuation over the transition band.
  const double taps = (kStopDb - 8.0) / (2.285 * 2.0 * std::numbers::pi * transition);
  half_ = std::max(4, static_cast<int>(std::ceil(0.5 * taps)));
  const double i0beta = BesselI0(beta);
  table_.resize(static_cast<std::size_t>(half_) * kTableRes + 2);
  for (std::size_t i = 0; i < table_.size(); ++i) {
    const double tau = static_cast<double>(i) / kTableRes;
    const double r = tau / half_;
    if (r >= 1.0) {
      table_[i] = 0.0;
      continue;
    }
    const double x = 2.0 * cutoff * tau;
    const double sinc = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
    table_[i] = 2.0 * cutoff * sinc * BesselI0(beta * std::sqrt(1.0 - r * r)) / i0beta;
  }
}

double TSincResampler::Kernel(double tau) const {
  const double pos = std::abs(tau) * kTableRes;
  const auto i = static_cast<std::size_t>(pos);
  if (i + 1 >= table_.size()) {
    return 0.0;
  }
  const double frac = pos - static_cast<double>(i);
  return table_[i] + frac * (table_[i + 1] - table_[i]);
}

std::vector<double> TSincResampler::Process(const std::vector<double> &in) const {
  if (in.empty()) {
    return {};
  }
  const auto inCount = static_cast<long long>(in.size());
  const auto outCount = static_cast<long long>(std::floor(static_cast<double>(inCount - 1) / step_)) + 1;
  std::vector<double> out(static_cast<std::size_t>(outCount));
  for (long long n = 0; n < outCount; ++n) {
    const double t = static_cast<double>(n) * step_;
    const long long first = std::max<long long>(0, static_cast<long long>(std::ceil(t - half_)));
    const long long last = std::min<long long>(inCount - 1, static_cast<long long>(std::floor(t + half_)));
    double acc = 0.0;
    for (long long k = first; k <= last; ++k) {
      acc += in[static_cast<std::size_t>(k)] * Kernel(t - static_cast<double>(k));
    }
    out[static_cast<std::size_t>(n)] = acc;
  }
  return out;
}

} // namespace train

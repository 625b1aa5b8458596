#include "tools/sim/sinc.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>

namespace sim {

double BesselI0(double x) {
  // sum_k ((x/2)^k / k!)^2; the terms fall below 1e-17 of the sum long before k = 60 for x <= 20.
  const double half = x / 2.0;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k < 200; ++k) {
    term *= half / k;
    const double t2 = term * term;
    sum += t2;
    if (t2 < sum * 1e-17) {
      break;
    }
  }
  return sum;
}

TSincKernel::TSincKernel(int halfTaps, double cutoff, double kaiserBeta)
    : halfTaps_(halfTaps), cutoff_(cutoff), beta_(kaiserBeta), i0Beta_(BesselI0(kaiserBeta)) {
  assert(halfTaps > 0 && cutoff > 0.0 && cutoff <= 1.0);
  table_.resize(static_cast<std::size_t>(halfTaps_) * kOversample + 2);
  for (std::size_t i = 0; i < table_.size(); ++i) {
    table_[i] = Exact(static_cast<double>(i) / kOversample);
  }
}

double TSincKernel::Exact(double u) const {
  const double a = std::fabs(u);
  if (a >= halfTaps_) {
    return 0.0;
  }
  const double x = std::numbers::pi * cutoff_ * u;
  const double sinc = (std::fabs(x) < 1e-12) ? 1.0 : std::sin(x) / x;
  const double r = a / halfTaps_;
  const double window = BesselI0(beta_ * std::sqrt(1.0 - r * r)) / i0Beta_;
  return cutoff_ * sinc * window;
}

double TSincKernel::operator()(double u) const {
  const double pos = std::fabs(u) * kOversample;
  const auto i = static_cast<std::size_t>(pos);
  if (i + 1 >= table_.size()) {
    return 0.0;
  }
  const double f = pos - static_cast<double>(i);
  return table_[i] + f * (table_[i + 1] - table_[i]);
}

TFractionalDelay::TFractionalDelay(int halfTaps, double cutoff, double kaiserBeta, int phases)
    : halfTaps_(halfTaps), phases_(phases) {
  assert(phases > 0);
  const TSincKernel kernel(halfTaps, cutoff, kaiserBeta);
  const int taps = 2 * halfTaps;
  coeffs_.resize(static_cast<std::size_t>(phases + 1) * taps);
  for (int p = 0; p <= phases; ++p) {
    const double mu = static_cast<double>(p) / phases;
    double *row = &coeffs_[static_cast<std::size_t>(p) * taps];
    double sum = 0.0;
    for (int k = 0; k < taps; ++k) {
      // Tap k holds sample i - H + 1 + k, which lies (mu + H - 1 - k) samples before the wanted position.
      row[k] = kernel.Exact(mu + halfTaps - 1 - k);
      sum += row[k];
    }
    for (int k = 0; k < taps; ++k) {
      row[k] /= sum;
    }
  }
}

double TFractionalDelay::Interpolate(const double *window, double mu) const {
  assert(mu >= 0.0 && mu < 1.0);
  const double pos = mu * phases_;
  int p = static_cast<int>(pos);
  if (p >= phases_) { // mu a hair below 1 may round up
    p = phases_ - 1;
  }
  const double f = pos - p;
  const int taps = 2 * halfTaps_;
  const double *c0 = &coeffs_[static_cast<std::size_t>(p) * taps];
  const double *c1 = c0 + taps;
  double y0 = 0.0;
  double y1 = 0.0;
  for (int k = 0; k < taps; ++k) {
    y0 += window[k] * c0[k];
    y1 += window[k] * c1[k];
  }
  return y0 + f * (y1 - y0);
}

std::vector<double> Resample(const std::vector<double> &in, double rateIn, double rateOut) {
  assert(rateIn > 0.0 && rateOut > 0.0);
  if (in.empty()) {
    return {};
  }
  const double ratio = rateIn / rateOut; // input samples per output sample
  const double stretch = std::max(1.0, ratio);
  const TSincKernel kernel(TFractionalDelay::kDefaultHalfTaps, TFractionalDelay::kDefaultCutoff,
                           TFractionalDelay::kDefaultBeta);
  const double reach = kernel.HalfTaps() * stretch;
  const auto inLen = static_cast<long long>(in.size());
  const auto outLen = static_cast<std::size_t>(std::floor(static_cast<double>(inLen - 1) / ratio)) + 1;
  std::vector<double> out(outLen);
  for (std::size_t n = 0; n < outLen; ++n) {
    const double x = static_cast<double>(n) * ratio;
    const auto first = static_cast<long long>(std::ceil(x - reach));
    const auto last = static_cast<long long>(std::floor(x + reach));
    double acc = 0.0;
    double wsum = 0.0;
    for (long long j = first; j <= last; ++j) {
      const double w = kernel((x - static_cast<double>(j)) / stretch);
      wsum += w;
      if (j >= 0 && j < inLen) {
        acc += w * in[static_cast<std::size_t>(j)];
      }
    }
    out[n] = (wsum != 0.0) ? acc / wsum : 0.0;
  }
  return out;
}

} // namespace sim

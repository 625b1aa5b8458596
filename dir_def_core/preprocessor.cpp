#include "dir_def_core/preprocessor.h"

#include <cmath>
#include <stdexcept>

namespace dir_def_core {
namespace {

constexpr double kTwoPiDesign = 6.283185307179586;

// sin(a)/a scaled: 2 g sin(2 pi g x) / (2 pi g x), with its limit 2 g where the argument is exactly 0.
double SincKernel(double g, double x) {
  const double a = kTwoPiDesign * g * x;
  if (a == 0.0) {
    return 2.0 * g;
  }
  return 2.0 * g * std::sin(a) / a;
}

} // namespace

TLowPassFilter::TLowPassFilter(double fLow_hz, double fHigh_hz, double fSampling_hz) : Line(kTaps, 0.0) {
  if (!std::isfinite(fSampling_hz) || fSampling_hz == 0.0) {
    throw std::invalid_argument("filter sampling rate must be finite and non-zero");
  }
  const double gH = fHigh_hz / (2.0 * fSampling_hz);
  const double gL = fLow_hz / (2.0 * fSampling_hz);
  const int middle = (kTaps - 1) / 2;
  const double span = kTaps - 1; // the window runs over 76 intervals, not 77
  Coefs.reserve(kTaps);
  for (int n = 0; n < kTaps; ++n) {
    const double x = n - middle;
    const double t = kTwoPiDesign * n / span;
    // Four-term Blackman-Nuttall window.
    const double w =
        0.3635819 - 0.4891775 * std::cos(t) + 0.1365995 * std::cos(2.0 * t) - 0.0106411 * std::cos(3.0 * t);
    Coefs.push_back(w * (SincKernel(gH, x) - SincKernel(gL, x)));
  }
}

double TLowPassFilter::Filter(double x) {
  Line.push(x);
  const double *line = Line.data();
  double y = 0.0;
  for (int m = 0; m < kTaps; ++m) {
    y += line[m] * Coefs[m];
  }
  return y;
}

namespace {

int CheckedFrameLen(int frameLen, int hop) {
  if (frameLen < 1 || hop < 1 || hop > frameLen) {
    throw std::invalid_argument("framer needs frameLen >= 1 and 1 <= hop <= frameLen");
  }
  return frameLen;
}

} // namespace

TFramer::TFramer(int frameLen, int hop)
    : Buf(static_cast<std::size_t>(CheckedFrameLen(frameLen, hop)), 0.0), RestartCount(frameLen - hop) {}

bool TFramer::Push(double y, std::vector<double> &frame) {
  Buf.push(y);
  ++Counter;
  const auto len = static_cast<std::int32_t>(Buf.size());
  if (Counter < len) {
    return false;
  }
  frame.assign(Buf.data(), Buf.data() + len);
  Counter = RestartCount;
  return true;
}

void TUniversalPreprocessor::Init(int channels, int frameLen, int hop, double fLow, double fHigh, double fSampling) {
  if (channels < 1) {
    throw std::invalid_argument("preprocessor needs at least one channel");
  }
  std::vector<TLowPassFilter> filters;
  std::vector<TFramer> framers;
  filters.reserve(static_cast<std::size_t>(channels));
  framers.reserve(static_cast<std::size_t>(channels));
  for (int c = 0; c < channels; ++c) {
    filters.emplace_back(fLow, fHigh, fSampling);
    framers.emplace_back(frameLen, hop);
  }
  Filters = std::move(filters);
  Framers = std::move(framers);
}

bool TUniversalPreprocessor::PushSample(const double *samples, std::vector<std::vector<double>> &frames) {
  const std::size_t channels = Filters.size();
  if (frames.size() != channels) {
    frames.resize(channels); // first call only: the caller keeps the vectors between samples
  }
  bool ready = false;
  for (std::size_t c = 0; c < channels; ++c) {
    const double y = Filters[c].Filter(samples[c]);
    frames[c].clear();
    ready = Framers[c].Push(y, frames[c]);
  }
  return ready;
}

} // namespace dir_def_core

#include "engines/spectrum_analyzer.h"

#include "dsp/magnitude.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

std::string TSpectrumAnalyzer::CheckBand(double freqLow, double freqHigh) {
  char line[256];
  if (!std::isfinite(freqLow) || !std::isfinite(freqHigh)) {
    std::snprintf(line, sizeof line, "spectrum band F_min=%g Hz, F_max=%g Hz is not a pair of finite frequencies",
                  freqLow, freqHigh);
    return line;
  }
  // Truncation toward zero, done in double so no value can overflow an int before it is checked.
  const double lo = std::trunc(freqLow / kBinWidthHz);
  const double hi = std::trunc(freqHigh / kBinWidthHz);
  if (lo >= 0.0 && lo <= hi && hi <= kFftSize - 1) {
    return "";
  }
  std::snprintf(line, sizeof line,
                "spectrum band F_min=%g Hz, F_max=%g Hz gives bins %.0f..%.0f; the %d-point spectrum needs "
                "0 <= first bin <= last bin <= %d (%g Hz per bin, so 0 <= F_min <= F_max < %g Hz)",
                freqLow, freqHigh, lo, hi, kFftSize, kFftSize - 1, kBinWidthHz, kFftSize * kBinWidthHz);
  return line;
}

TSpectrumAnalyzer::TSpectrumAnalyzer(double freqLow, double freqHigh) {
  if (std::string reason = CheckBand(freqLow, freqHigh); !reason.empty()) {
    throw std::invalid_argument(reason);
  }
  Lo_ = static_cast<int>(freqLow / kBinWidthHz);
  Hi_ = static_cast<int>(freqHigh / kBinWidthHz);
  Levels_.assign(static_cast<std::size_t>(Hi_ - Lo_) + 1, 0.0F);
}

bool TSpectrumAnalyzer::Push(double sample) {
  Window_.push(sample);
  if (++Counter_ <= kFramePeriod - 1) {
    return false;
  }
  MakeFrame();
  return true;
}

std::size_t TSpectrumAnalyzer::PushSamples(const double *x, std::size_t n, bool &framed) {
  const auto want = static_cast<std::size_t>(kFramePeriod - Counter_); // >= 1: a frame resets the counter
  const std::size_t take = std::min(n, want);
  Window_.push(x, take);
  Counter_ += static_cast<int>(take);
  framed = take == want;
  if (framed) {
    MakeFrame();
  }
  return take;
}

void TSpectrumAnalyzer::MakeFrame() {
  Plan_.transform(Window_.data(), Work_.data());
  for (std::size_t k = 0; k < Levels_.size(); ++k) {
    const int bin = Lo_ + static_cast<int>(k);
    const int stored = bin <= kFftSize / 2 ? bin : kFftSize - bin; // conjugate symmetry of a real input
    // The level is 10*log10 of the magnitude (not of the power), as the spectrum clients expect.
    Levels_[k] = static_cast<float>(10.0 * std::log10(dsp::Magnitude(Work_[static_cast<std::size_t>(stored)])));
  }
  Counter_ = 0;
}

#pragma once
// The pure step of the spectrum stream: a 2048-sample sliding window of one channel that, every 5120 samples,
// is transformed (rectangular window, unscaled) and turned into one frame of float levels 10*log10(|X[k]|) for
// the bins lo..hi of the configured band. No sockets, clocks or threads: the spectrum engine thread and the
// offline tools feed it sample by sample. Owned and called by one thread at a time.

#include "dsp/fourier.h"
#include "dsp/shifter.h"

#include <complex>
#include <string>
#include <vector>

class TSpectrumAnalyzer {
public:
  static constexpr int kFftSize = 2048;         // points of the transform
  static constexpr double kBinWidthHz = 15.625; // fixed bin width, independent of the sampling rate
  static constexpr int kFramePeriod = 5120;     // samples between two frames
  static constexpr int kInitialCounter = 3072;  // so the first frame follows the first 2048 samples

  // "" when the band maps to bins 0 <= lo <= hi <= 2047 (lo = trunc(freqLow / 15.625), hi likewise), else one
  // line naming the band and the rule. Non-finite frequencies are refused too.
  static std::string CheckBand(double freqLow, double freqHigh);

  // Throws std::invalid_argument with the CheckBand text when the band is refused. Builds every buffer.
  TSpectrumAnalyzer(double freqLow, double freqHigh);

  // Consumes one sample; true when this sample completed a frame, which Levels() then holds until the next one.
  // Never allocates.
  bool Push(double sample);
  // The same as Push on x[0], x[1], .. up to and including the sample that completes a frame, or all n of them:
  // returns how many were taken and sets `framed` when the last one completed a frame.
  std::size_t PushSamples(const double *x, std::size_t n, bool &framed);

  // Levels of bins FirstBin()..LastBin() in ascending order, in dB (10*log10 of the magnitude; -inf for 0).
  const std::vector<float> &Levels() const { return Levels_; }
  int FirstBin() const { return Lo_; }
  int LastBin() const { return Hi_; }

private:
  void MakeFrame(); // the window's levels into Levels_; the counter starts again

  int Lo_ = 0;
  int Hi_ = 0;
  int Counter_ = kInitialCounter; // samples since the last frame
  dsp::fourier::fwd_real<double> Plan_{kFftSize};
  dsp::shifter<double> Window_{kFftSize, 0.0}; // oldest first
  // Bins 0 .. kFftSize / 2 of the real transform; bin k above that has the magnitude of bin kFftSize - k.
  std::vector<std::complex<double>> Work_ = std::vector<std::complex<double>>(kFftSize / 2 + 1);
  std::vector<float> Levels_;
};

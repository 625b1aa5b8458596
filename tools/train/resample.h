#pragma once
// Band-limited sample-rate conversion for recordings whose rate differs from the station's.
// A Kaiser-windowed sinc low-pass (pass band to 45 % of the lower rate, about 90 dB stop band) is evaluated at
// each output instant from a finely sampled table. Whole-signal, offline use only: the trainer converts each
// recording once before feature extraction.

#include <vector>

namespace train {

class TSincResampler {
public:
  TSincResampler(double inRateHz, double outRateHz);

  // Output sample n lies at input time n * inRate / outRate; samples beyond the ends count as zero.
  // floor((in.size() - 1) * outRate / inRate) + 1 samples are returned (none for an empty input).
  std::vector<double> Process(const std::vector<double> &in) const;

  int HalfWidth() const { return half_; } // kernel half-length in input samples

private:
  double Kernel(double tau) const;

  double step_;               // input samples per output sample
  int half_;                  // kernel support is |tau| < half_ input samples
  std::vector<double> table_; // kernel at tau = i / kTableRes, i = 0 .. half_ * kTableRes + 1
  static constexpr int kTableRes = 512;
};

} // namespace train

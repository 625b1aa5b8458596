#pragma once
// Band-limiting and framing of the four microphone channels for the direction finder. The union engine owns
// one TUniversalPreprocessor on its thread, feeds it one sample per channel at a time and hands every
// completed frame set to the stream direction definer. Not thread-safe: one owner thread.

#include "dsp/shifter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dir_def_core {

// 77-tap windowed-sinc FIR filter of one channel. Despite the name it is a band-pass (a plain low-pass when
// fLow is 0). The edge frequencies are normalised by twice the sampling rate, so the pass band runs from
// fLow/2 to fHigh/2 Hz. Linear phase, group delay 38 samples.
class TLowPassFilter {
public:
  static constexpr int kTaps = 77;

  // fLow_hz, fHigh_hz: the settings' F_flt_min, F_flt_max; fSampling_hz must be finite and non-zero
  // (std::invalid_argument otherwise).
  TLowPassFilter(double fLow_hz, double fHigh_hz, double fSampling_hz);

  // Pushes x and returns the filter output.
  double Filter(double x);

  // Pushes x[0..n-1] and writes their outputs to y[0..n-1] (y must not overlap x). Each output is the same
  // sum in the same order as Filter's, so the two may be mixed and give identical numbers; this one computes
  // many outputs side by side, which vectorises.
  void Filter(const double *x, std::size_t n, double *y);

  const std::vector<double> &Taps() const { return Coefs; }

  // Values after the last input that the block filter's transposed kernel reads (and never uses).
  static constexpr std::size_t kReadPast = 4;

private:
  // Inputs taken per pass of the block filter; the line holds kTaps - 1 older inputs before them.
  static constexpr std::size_t kChunk = 512;
  void MoveBackWhenFull(); // the last kTaps - 1 inputs to the front once the line's end is reached

  std::vector<double> Coefs; // h[0..76]
  // Inputs, oldest first: Line[Fill - 77 .. Fill - 1] are the last 77. When Fill reaches kTaps - 1 + kChunk the
  // last 76 are moved to the front, so pushing is constant time on average and the taps always see a contiguous
  // run; kReadPast more values follow, read by the block filter and never used.
  std::vector<double> Line;
  std::size_t Fill = kTaps - 1;
};

// Cuts a sample stream into overlapping frames: the first frame on the frameLen-th sample, then one every
// hop samples.
class TFramer {
public:
  // frameLen >= 1 and 1 <= hop <= frameLen (std::invalid_argument otherwise).
  TFramer(int frameLen, int hop);

  // Pushes y; when a frame completes, copies the last frameLen samples (oldest first) into `frame` (resized;
  // no allocation once its capacity suffices) and returns true.
  bool Push(double y, std::vector<double> &frame);

private:
  dsp::shifter<double> Buf;  // last frameLen filtered samples, oldest first
  std::int32_t RestartCount; // Counter after a frame: frameLen - hop
  std::int32_t Counter = 0;
};

// Filters and frames all channels in lock-step, with the framing of TFramer and the filter of TLowPassFilter.
// Only whole frames leave it, so the raw samples of a hop are kept and filtered as one block when the frame
// set completes; the frames are the same numbers as filtering sample by sample.
class TUniversalPreprocessor {
public:
  // Builds one filter and one framer per channel (replacing any earlier set-up). Throws std::invalid_argument
  // for channels < 1 or the limits of TLowPassFilter and TFramer.
  void Init(int channels, int frameLen, int hop, double fLow, double fHigh, double fSampling);

  // samples: one sample per channel. `frames` is given `channels` vectors; each is emptied (capacity kept)
  // and, on a sample that completes a frame set, filled with that channel's frame. Returns true then.
  bool PushSample(const double *samples, std::vector<std::vector<double>> &frames);

  // The same as PushSample on samples 0, 1, .. of every channel (channel c's at channels[c]) up to and including
  // the one that completes a frame set, or all n: returns how many were taken per channel and sets `framed` when
  // the last one completed a set. `frames` is filled then and left untouched otherwise.
  std::size_t PushSamples(const double *const *channels, std::size_t n, std::vector<std::vector<double>> &frames,
                          bool &framed);

  int Channels() const { return static_cast<int>(Filters.size()); }

private:
  void FinishSet(std::vector<std::vector<double>> &frames); // the pending samples complete a frame set

  std::vector<TLowPassFilter> Filters; // index = channel
  std::size_t FrameLen = 0;
  std::size_t Hop = 0;
  std::size_t Pending = 0; // samples per channel pushed since the last frame set (not filtered yet)
  bool FirstDone = false;  // the first frame set needs FrameLen samples, later ones Hop
  // Raw[c * FrameLen + i]: channel c's i-th pending sample. Out[c * FrameLen + i]: channel c's last FrameLen
  // filtered samples, oldest first.
  std::vector<double> Raw;
  std::vector<double> Out;
};

} // namespace dir_def_core

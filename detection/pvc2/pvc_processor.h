#pragma once
// PVC feature processor: turns one channel's sample stream into feature vectors (two band entropies and
// N_MFCC cepstral coefficients of the tonal part of the spectrum), one every Hop samples once the first
// frame is full. Owned and called by one thread (a detector thread, or an offline tool).

#include <complex>
#include <cstdint>
#include <vector>

#include "detection/detect_config.h"
#include "detection/pvc2/mapi.h"
#include "detection/pvc2/median_filter.h"
#include "detection/pvc2/pvc_geometry.h"
#include "dsp/fourier.h"
#include "dsp/shifter.h"

namespace pvc2 {

class TPVC_Processor {
public:
  // Throws std::length_error("invalid FFT size") for an NFFT that is not a power of two >= 8, and
  // std::invalid_argument with a one-line reason for any other setting the processor cannot run on.
  explicit TPVC_Processor(const detection::TDetectConfig &c);

  // Consumes one sample. Returns true exactly when a frame completed, and then appends one feature vector
  // (FeatureLength() values) to `out`. A non-finite sample is taken as 0. A frame whose peak is 0 (digital
  // silence) is transformed without normalisation: its spectrum is zero, its band energies are log10(0) =
  // -inf, and the classifier drops such vectors; the vector is still emitted so the channel keeps its pace.
  bool ProcNext(double sample, std::vector<double> &out);

  // The same as ProcNext on x[0], x[1], .. up to and including the sample that completes a frame, or all n of
  // them: returns how many were consumed and sets `framed` (and appends the feature vector) when the last one
  // completed a frame. Once the first frame is full the samples of a hop are taken in one pass.
  std::size_t ProcSamples(const double *x, std::size_t n, std::vector<double> &out, bool &framed);

  std::int32_t FeatureLength() const { return N_MFCC + 2; }
  const TPvcGeometry &Geometry() const { return geom_; }
  // The last frame's spectrum X (normalised, scaled by 1 / NFFT) and the median-subtracted magnitudes D. X
  // holds NFFT values of which bins 0 .. max(NFFT / 2, MF_Wnd + NBins - 1) are valid: the transform is real,
  // and the bins above NFFT / 2 are filled (by conjugate symmetry) only as far as the median filter reads.
  const std::vector<std::complex<double>> &LastSpectrum() const { return Spectrum; }
  const std::vector<double> &LastTonal() const { return tonal_; }

private:
  void ProcessFrame(std::vector<double> &out);

  TPvcGeometry geom_;

public:
  std::int32_t BandStep;
  std::int32_t JJ;
  double OverlapFFT;
  std::int32_t NFFT;
  std::int32_t F_max; // Hz
  std::int32_t F_mid; // Hz
  std::int32_t F_min; // Hz
  std::int32_t Overlap;
  std::int32_t Kmax;
  std::int32_t Kmin;
  std::int32_t Kmid;
  std::int32_t N_MFCC;
  std::int32_t F_Smp; // Hz
  std::int32_t NFFT2;
  std::int32_t MF_Wnd;

private:
  dsp::shifter<double> Window;   // newest NFFT samples, oldest first
  double HopPeak = 0.0;          // largest |sample| of the newest hop so far
  dsp::shifter<double> HopPeaks; // peaks of the earlier hops of the frame, oldest first
  std::int32_t Count = 0;        // samples since the last frame
  dsp::fourier::fwd_real<double> Plan;
  std::int32_t Hop;
  std::int32_t HopsBack;
  std::int32_t HopsBackLast; // HopsBack - 1
  std::vector<std::complex<double>> Spectrum;
  std::int32_t mirrorEnd_; // bins NFFT / 2 + 1 .. mirrorEnd_ - 1 are filled from their conjugate bins
  TMedianFilter Median;
  std::vector<double> tonal_;                  // D[k] = |X[k] - Out[k]|, k < NBins
  std::vector<std::complex<double>> residual_; // X[k] - Out[k], k < NBins
  std::vector<double> bandWeights_;            // per band, per bin first .. last: its triangular weight
  std::vector<std::size_t> bandStart_;         // per band, where its weights start in bandWeights_
  mapi::TBandEntropy upperEntropy_;            // bins Kmid .. Kmax
  mapi::TBandEntropy lowerEntropy_;            // bins Kmin .. Kmid
  std::vector<double> energies_;               // E_m, m < JJ - 1
  std::vector<double> cosTable_;               // cos(m (n + 0.5) pi / J), row n, column m
};

} // namespace pvc2

#include "detection/pvc2/pvc_processor.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "detection/pvc2/mapi.h"
#include "dsp/magnitude.h"

namespace pvc2 {

namespace {

TPvcGeometry CheckedGeometry(const detection::TDetectConfig &c) {
  TPvcGeometry g;
  const std::string why = DeriveGeometry(c, g);
  if (c.NFFT < 8 || (c.NFFT & (c.NFFT - 1)) != 0) {
    throw std::length_error("invalid FFT size");
  }
  if (!why.empty()) {
    throw std::invalid_argument(why);
  }
  return g;
}

} // namespace

TPVC_Processor::TPVC_Processor(const detection::TDetectConfig &c)
    : geom_(CheckedGeometry(c)), BandStep(geom_.BandStep), JJ(c.JJ), OverlapFFT(c.OverlapFFT), NFFT(c.NFFT),
      F_max(c.F_max), F_mid(c.F_mid), F_min(c.F_min), Overlap(geom_.Overlap), Kmax(geom_.Kmax), Kmin(geom_.Kmin),
      Kmid(geom_.Kmid), N_MFCC(c.N_MFCC), F_Smp(c.F_Smp), NFFT2(c.NFFT / 2), MF_Wnd(c.MF_Wnd),
      Window(static_cast<std::size_t>(c.NFFT), 0.0), HopPeaks(static_cast<std::size_t>(geom_.HopsBack), 0.0),
      Plan(static_cast<unsigned>(c.NFFT)), Hop(geom_.Hop), HopsBack(geom_.HopsBack), HopsBackLast(geom_.HopsBack - 1),
      Spectrum(static_cast<std::size_t>(c.NFFT)), mirrorEnd_(std::min(c.NFFT, std::max(c.MF_Wnd, 0) + geom_.NBins)),
      Median(c.MF_Wnd, geom_.NBins), tonal_(static_cast<std::size_t>(geom_.NBins)),
      residual_(static_cast<std::size_t>(geom_.NBins)), upperEntropy_(geom_.Kmid, geom_.Kmax),
      lowerEntropy_(geom_.Kmin, geom_.Kmid), energies_(static_cast<std::size_t>(c.JJ - 1)) {
  const std::int32_t J = JJ - 1;
  cosTable_.resize(static_cast<std::size_t>(J) * J);
  for (std::int32_t n = 0; n < J; ++n) {
    for (std::int32_t m = 0; m < J; ++m) {
      cosTable_[static_cast<std::size_t>(n) * J + m] = std::cos(m * (n + 0.5) * std::numbers::pi / J);
    }
  }
  // The triangular band weights, band after band, each bin from first to last: the same quotients the frame
  // loop would take, taken once.
  for (const TBand &b : geom_.Bands) {
    bandStart_.push_back(bandWeights_.size());
    for (std::int32_t k = b.first; k <= b.last; ++k) {
      bandWeights_.push_back(k <= b.ctr ? static_cast<double>(k - b.lo) / (b.ctr - b.lo)
                                        : static_cast<double>(b.hi - k) / (b.hi - b.ctr));
    }
  }
}

bool TPVC_Processor::ProcNext(double sample, std::vector<double> &out) {
  if (!std::isfinite(sample)) {
    sample = 0.0;
  }
  Window.push(sample);
  Count += 1;
  const std::int32_t l = Count;
  const double a = std::abs(sample);
  if (l < Overlap) {
    // Only while the very first frame fills: remember the peaks of the earlier hops.
    if (HopsBack >= 1) {
      const std::int32_t n = std::min(l / Hop, HopsBackLast);
      HopPeaks[n] = std::max(HopPeaks[n], a);
    }
    return false;
  }
  HopPeak = std::max(HopPeak, a);
  if (l < NFFT) {
    return false;
  }
  ProcessFrame(out);
  return true;
}

std::size_t TPVC_Processor::ProcSamples(const double *x, std::size_t n, std::vector<double> &out, bool &framed) {
  framed = false;
  std::size_t used = 0;
  // While the first frame fills, sample by sample: the hop peaks of its earlier hops are kept apart.
  while (used < n && Count + 1 < Overlap) {
    if (ProcNext(x[used++], out)) {
      framed = true;
      return used;
    }
  }
  // From here on every sample counts towards HopPeak, and a frame completes when Count reaches NFFT.
  constexpr std::size_t kRun = 64;
  double run[kRun];
  while (used < n) {
    const std::size_t want = std::min({n - used, static_cast<std::size_t>(std::max(NFFT - Count, 1)), kRun});
    double peak = HopPeak;
    for (std::size_t i = 0; i < want; ++i) {
      const double v = x[used + i];
      run[i] = std::isfinite(v) ? v : 0.0;
      peak = std::max(peak, std::abs(run[i]));
    }
    Window.push(run, want);
    HopPeak = peak;
    Count += static_cast<std::int32_t>(want);
    used += want;
    if (Count >= NFFT) {
      ProcessFrame(out);
      framed = true;
      return used;
    }
  }
  return used;
}

void TPVC_Processor::ProcessFrame(std::vector<double> &out) {
  const double newest = HopPeak;
  double peak = newest;
  for (std::int32_t i = 0; i < HopsBack; ++i) {
    peak = std::max(peak, HopPeaks[i]);
  }
  // A silent frame (peak 0, or so small that 1 / peak overflows) is transformed as it is.
  const double inv = 1.0 / peak;
  const double scale = (peak > 0.0 && std::isfinite(inv)) ? inv : 1.0;
  // The 1 / NFFT of the spectrum is applied to the samples instead: a power of two, it scales exactly, and the
  // transform is linear, so the bins come out as if scaled after the transform.
  const double invN = 1.0 / NFFT;
  Plan.transform_scaled(Window.data(), scale, invN, Spectrum.data()); // samples (w * scale) * invN
  for (std::int32_t k = NFFT2 + 1; k < mirrorEnd_; ++k) {
    Spectrum[k] = std::conj(Spectrum[NFFT - k]);
  }
  HopPeaks.push(std::trunc(newest));
  Count = Overlap;
  HopPeak = 0.0;

  const std::int32_t nBins = geom_.NBins;
  if (MF_Wnd > 0) {
    Median.ProcessResidual(Spectrum, residual_.data()); // X[k] - its median
    dsp::Magnitudes(residual_.data(), static_cast<std::size_t>(nBins), tonal_.data());
  } else {
    dsp::Magnitudes(Spectrum.data(), static_cast<std::size_t>(nBins), tonal_.data());
  }

  const double hUpper = upperEntropy_(tonal_); // Calc_ENTR2 + MeanBinEntropy over Kmid .. Kmax
  const double hLower = lowerEntropy_(tonal_);

  // Band energies, each summed over its bins in order; four bands side by side, so that their sums' chains
  // overlap instead of each waiting on its own adds.
  const std::size_t nBands = geom_.Bands.size();
  std::size_t m = 0;
  for (; m + 4 <= nBands; m += 4) {
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    const double *t[4];
    const double *w[4];
    std::int32_t len[4];
    for (std::size_t j = 0; j < 4; ++j) {
      const TBand &b = geom_.Bands[m + j];
      t[j] = tonal_.data() + b.first;
      w[j] = bandWeights_.data() + bandStart_[m + j];
      len[j] = std::max(b.last - b.first + 1, 0);
    }
    const std::int32_t common = std::min({len[0], len[1], len[2], len[3]});
    for (std::int32_t i = 0; i < common; ++i) {
      for (std::size_t j = 0; j < 4; ++j) {
        sum[j] += t[j][i] * t[j][i] * w[j][i];
      }
    }
    for (std::size_t j = 0; j < 4; ++j) {
      for (std::int32_t i = common; i < len[j]; ++i) {
        sum[j] += t[j][i] * t[j][i] * w[j][i];
      }
      energies_[m + j] = std::log10(sum[j]); // an empty band gives -inf
    }
  }
  for (; m < nBands; ++m) {
    const TBand &b = geom_.Bands[m];
    const double *weight = bandWeights_.data() + bandStart_[m];
    double sum = 0.0;
    for (std::int32_t k = b.first; k <= b.last; ++k) {
      sum += tonal_[k] * tonal_[k] * *weight++;
    }
    energies_[m] = std::log10(sum);
  }

  out.push_back(hUpper);
  out.push_back(hLower);
  const std::int32_t J = JJ - 1;
  for (std::int32_t n = 0; n < N_MFCC; ++n) {
    const double *cosRow = &cosTable_[static_cast<std::size_t>(n) * J];
    double c = 0.5 * energies_[0];
    for (std::int32_t m = 1; m < J; ++m) {
      c += energies_[m] * cosRow[m];
    }
    out.push_back(c / J);
  }
}

} // namespace pvc2

#include "detection/pvc2/pvc_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace pvc2 {

namespace {

constexpr std::int32_t kMaxNfft = 1 << 20;

std::string Key(const char *key, std::int64_t value) { return "\"" + std::string(key) + "\" " + std::to_string(value); }

std::string KeyReal(const char *key, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return "\"" + std::string(key) + "\" " + buf;
}

// floor(f * nfft / fs): the product is formed in 64 bits, so large settings cannot overflow.
std::int64_t FreqBin(std::int32_t f, std::int32_t nfft, std::int32_t fs) {
  return static_cast<std::int64_t>(
      std::floor(static_cast<double>(static_cast<std::int64_t>(f) * nfft) / static_cast<double>(fs)));
}

} // namespace

double BandEdge(std::int32_t m, std::int32_t kMin, std::int32_t kMax, std::int32_t bandStep) {
  const double step = static_cast<double>(m) * bandStep;
  return kMin + 1125.0 * std::log(1.0 + (std::exp((step + kMin) / 1125.0) - 1.0) * step / (kMax - kMin));
}

std::string DeriveGeometry(const detection::TDetectConfig &c, TPvcGeometry &g) {
  g = TPvcGeometry();
  if (c.NFFT < 8 || c.NFFT > kMaxNfft || (c.NFFT & (c.NFFT - 1)) != 0) {
    return Key("NFFT", c.NFFT) + " must be a power of two >= 8 (and <= " + std::to_string(kMaxNfft) + ")";
  }
  if (!(c.OverlapFFT >= 0.0 && c.OverlapFFT < 1.0)) {
    return KeyReal("OverlapFFT", c.OverlapFFT) + " must be >= 0 and < 1";
  }
  if (c.F_Smp <= 0) {
    return Key("F_Smp", static_cast<std::int64_t>(c.F_Smp)) + " must be a positive sampling rate in Hz";
  }
  g.NFFT = c.NFFT;
  g.Overlap = static_cast<std::int32_t>(std::floor(c.NFFT * c.OverlapFFT));
  g.Hop = c.NFFT - g.Overlap;
  g.HopsBack = c.NFFT / g.Hop - 1;

  const std::int64_t kMin = FreqBin(c.F_min, c.NFFT, c.F_Smp);
  const std::int64_t kMid = FreqBin(c.F_mid, c.NFFT, c.F_Smp);
  const std::int64_t kMax = FreqBin(c.F_max, c.NFFT, c.F_Smp);
  if (kMin < 0) {
    return Key("F_min", static_cast<std::int64_t>(c.F_min)) + " must not be negative";
  }
  if (kMax > c.NFFT / 2) {
    return Key("F_max", static_cast<std::int64_t>(c.F_max)) + " must not exceed half of \"F_Smp\" " +
           std::to_string(c.F_Smp);
  }
  if (!(kMin < kMid && kMid < kMax)) {
    return Key("F_mid", static_cast<std::int64_t>(c.F_mid)) + " (bin " + std::to_string(kMid) +
           ") must lie strictly between \"F_min\" " + std::to_string(c.F_min) + " (bin " + std::to_string(kMin) +
           ") and \"F_max\" " + std::to_string(c.F_max) + " (bin " + std::to_string(kMax) + ") at \"NFFT\" " +
           std::to_string(c.NFFT);
  }
  g.Kmin = static_cast<std::int32_t>(kMin);
  g.Kmid = static_cast<std::int32_t>(kMid);
  g.Kmax = static_cast<std::int32_t>(kMax);
  if (c.JJ < 2 || c.JJ > c.NFFT) {
    return Key("JJ", static_cast<std::int64_t>(c.JJ)) + " must be >= 2 and <= \"NFFT\"";
  }
  if (c.N_MFCC < 0 || c.N_MFCC > c.JJ - 1) {
    return Key("N_MFCC", static_cast<std::int64_t>(c.N_MFCC)) + " must be >= 0 and <= \"JJ\" - 1 (" +
           std::to_string(c.JJ - 1) + ")";
  }
  if (c.MF_Wnd < 0) {
    return Key("MF_Wnd", static_cast<std::int64_t>(c.MF_Wnd)) + " must not be negative";
  }
  g.BandStep = static_cast<std::int32_t>(std::ceil(static_cast<double>(g.Kmax - g.Kmin) / c.JJ));

  const double topEdge = BandEdge(c.JJ, g.Kmin, g.Kmax, g.BandStep);
  // Every band edge lies between Kmin and B(JJ); bounding B(JJ) keeps every later conversion to int defined.
  if (!std::isfinite(topEdge) || topEdge > static_cast<double>(c.NFFT)) {
    return Key("JJ", static_cast<std::int64_t>(c.JJ)) + " puts the top band edge outside the spectrum of \"NFFT\" " +
           std::to_string(c.NFFT);
  }
  auto nBins = static_cast<std::int32_t>(std::ceil(topEdge));
  if (nBins > g.Overlap) {
    nBins = g.Overlap;
  }
  if (nBins < g.Kmax + 1) {
    nBins = g.Kmax + 1;
  }
  g.NBins = nBins;
  if (static_cast<std::int64_t>(c.MF_Wnd) + g.NBins > c.NFFT) {
    return Key("MF_Wnd", static_cast<std::int64_t>(c.MF_Wnd)) + " + analysed bins " + std::to_string(g.NBins) +
           " must not exceed \"NFFT\" " + std::to_string(c.NFFT);
  }

  g.Bands.resize(static_cast<std::size_t>(c.JJ - 1));
  for (std::int32_t m = 0; m + 1 < c.JJ; ++m) {
    TBand &b = g.Bands[m];
    b.lo = static_cast<std::int32_t>(std::floor(BandEdge(m, g.Kmin, g.Kmax, g.BandStep)));
    const auto hiRaw = static_cast<std::int32_t>(std::floor(BandEdge(m + 2, g.Kmin, g.Kmax, g.BandStep)));
    b.hi = hiRaw > b.lo + 1 ? hiRaw : b.lo + 2;
    b.ctr = static_cast<std::int32_t>(std::floor((b.lo + b.hi) * 0.5));
    b.first = std::max(b.lo, 1);
    b.last = std::min(b.hi, g.Overlap - 1);
    if (b.last < b.first) {
      // An empty band's energy is log10(0): every feature vector would be non-finite and never classified.
      return KeyReal("OverlapFFT", c.OverlapFFT) + " leaves band " + std::to_string(m) + " (bins " +
             std::to_string(b.lo) + " .. " + std::to_string(b.hi) + ") empty: bands must start below the overlap of " +
             std::to_string(g.Overlap) + " samples";
    }
    if (b.last >= g.NBins) {
      return Key("JJ", static_cast<std::int64_t>(c.JJ)) + " puts band " + std::to_string(m) + " up to bin " +
             std::to_string(b.last) + ", beyond the " + std::to_string(g.NBins) + " analysed bins";
    }
  }
  return "";
}

} // namespace pvc2

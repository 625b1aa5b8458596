#include "detection/pvc2/mapi.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>

namespace pvc2::mapi {

namespace {
// Up to this many histogram bins (about 185000 values) the counts are taken in fixed arrays on the stack.
constexpr std::int32_t kFastBins = 256;
} // namespace

void Calc_ENTR2(const std::vector<double> &values, int first, int last, std::vector<double> &hist) {
  assert(first >= 0 && last >= first && static_cast<std::size_t>(last) < values.size());
  const std::int32_t n = last - first + 1;
  const auto A = static_cast<std::int32_t>(std::floor(2.0 * std::pow(static_cast<double>(n) * n, 0.2)));
  const std::int32_t nBins = A - 1; // n >= 1 gives A >= 2, so at least one bin
  hist.assign(static_cast<std::size_t>(nBins), 0.0);

  double vMin = std::abs(values[first]);
  double vMax = vMin;
  for (int k = first + 1; k <= last; ++k) {
    const double v = std::abs(values[k]);
    vMin = std::min(vMin, v);
    vMax = std::max(vMax, v);
  }
  const double low = vMin - 1e-9;
  const double width = (vMax + 1e-9 - low) / nBins;
  // The bin of each value, clamped to the histogram (a NaN quotient fails both tests and lands in bin 0), taken
  // through a clamped double so that the conversion is always in range and the loop has no branch.
  const double top = static_cast<double>(nBins - 1);
  const auto binOf = [&](double v) {
    const double t = (std::abs(v) - low) / width;
    const double c = t >= static_cast<double>(nBins) ? top : (t > 0.0 ? t : 0.0);
    return static_cast<std::int32_t>(c);
  };
  if (nBins > kFastBins) {
    for (int k = first; k <= last; ++k) {
      hist[static_cast<std::size_t>(binOf(values[k]))] += 1.0;
    }
  } else {
    // In chunks: the bins of a chunk in one vectorised pass (the division dominates), then counted into four
    // interleaved integer histograms, so that a run of values in one bin does not wait on its own increments.
    // Counts are exact either way, so the histogram holds the same numbers as adding 1.0 per value.
    constexpr int kChunk = 64;
    std::int32_t bins[kChunk];
    std::uint32_t counts[4][kFastBins] = {};
    for (int k = first; k <= last; k += kChunk) {
      const int m = std::min(kChunk, last + 1 - k);
      const double *v = values.data() + k;
      for (int i = 0; i < m; ++i) {
        bins[i] = binOf(v[i]);
      }
      int i = 0;
      for (; i + 4 <= m; i += 4) {
        ++counts[0][bins[i]];
        ++counts[1][bins[i + 1]];
        ++counts[2][bins[i + 2]];
        ++counts[3][bins[i + 3]];
      }
      for (; i < m; ++i) {
        ++counts[0][bins[i]];
      }
    }
    for (std::int32_t b = 0; b < nBins; ++b) {
      hist[static_cast<std::size_t>(b)] =
          static_cast<double>(counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b]);
    }
  }
  double sum = 0.0;
  for (const double h : hist) {
    sum += h;
  }
  const double scale = A / sum;
  for (double &h : hist) {
    h *= scale;
  }
}

double MeanBinEntropy(const std::vector<double> &hist) {
  double total = 0.0;
  for (const double h : hist) {
    total += h == 0.0 ? 1.0 : std::pow(2.0, -(h * std::log2(h)));
  }
  return total / static_cast<double>(hist.size());
}

} // namespace pvc2::mapi

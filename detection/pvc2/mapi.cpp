#include "detection/pvc2/mapi.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>

namespace pvc2::mapi {

namespace {
// Up to this many histogram bins (about 185000 values) the counts are taken in fixed arrays on the stack.
constexpr std::int32_t kFastBins = 256;

// A = floor(2 (n n)^0.2) for n values (in double: n n overflows an int from 46341 values on).
std::int32_t HistogramScale(std::int32_t n) {
  return static_cast<std::int32_t>(std::floor(2.0 * std::pow(static_cast<double>(n) * n, 0.2)));
}

// The bin of each of |values[first .. last]| in a histogram of nBins equal bins over [min - 1e-9, max + 1e-9],
// clamped to the histogram (a NaN quotient fails both tests and lands in bin 0), taken through a clamped double
// so that the conversion is always in range and the loop has no branch. Calls count(bin) per value, in order, for
// nBins > kFastBins; else fills `total` (kFastBins entries) with the counts per bin.
template <typename Count>
void BinValues(const std::vector<double> &values, int first, int last, std::int32_t nBins, std::uint32_t *total,
               Count &&count) {
  double vMin = std::abs(values[first]);
  double vMax = vMin;
  for (int k = first + 1; k <= last; ++k) {
    const double v = std::abs(values[k]);
    vMin = std::min(vMin, v);
    vMax = std::max(vMax, v);
  }
  const double low = vMin - 1e-9;
  const double width = (vMax + 1e-9 - low) / nBins;
  const double top = static_cast<double>(nBins - 1);
  const auto binOf = [&](double v) {
    const double t = (std::abs(v) - low) / width;
    const double c = t >= static_cast<double>(nBins) ? top : (t > 0.0 ? t : 0.0);
    return static_cast<std::int32_t>(c);
  };
  if (nBins > kFastBins) {
    for (int k = first; k <= last; ++k) {
      count(binOf(values[k]));
    }
    return;
  }
  // In chunks: the bins of a chunk in one vectorised pass (the division dominates), then counted into four
  // interleaved integer histograms, so that a run of values in one bin does not wait on its own increments.
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
    total[b] = counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b];
  }
}

double EntropyTerm(double h) { return h == 0.0 ? 1.0 : std::pow(2.0, -(h * std::log2(h))); }

} // namespace

void Calc_ENTR2(const std::vector<double> &values, int first, int last, std::vector<double> &hist) {
  assert(first >= 0 && last >= first && static_cast<std::size_t>(last) < values.size());
  const std::int32_t n = last - first + 1;
  const std::int32_t A = HistogramScale(n);
  const std::int32_t nBins = A - 1; // n >= 1 gives A >= 2, so at least one bin
  hist.assign(static_cast<std::size_t>(nBins), 0.0);
  std::uint32_t total[kFastBins];
  BinValues(values, first, last, nBins, total, [&](std::int32_t b) { hist[static_cast<std::size_t>(b)] += 1.0; });
  if (nBins <= kFastBins) {
    // Counts are exact either way, so the histogram holds the same numbers as adding 1.0 per value.
    for (std::int32_t b = 0; b < nBins; ++b) {
      hist[static_cast<std::size_t>(b)] = static_cast<double>(total[b]);
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

TBandEntropy::TBandEntropy(int first, int last) : First(first), Last(last) {
  assert(first >= 0 && last >= first);
  const std::int32_t n = last - first + 1;
  const std::int32_t A = HistogramScale(n);
  NBins = A - 1;
  if (NBins > kFastBins) {
    return; // computed the long way
  }
  // Every value lands in some bin, so the counts sum to n exactly and Calc_ENTR2's scale is always A / n.
  const double scale = A / static_cast<double>(n);
  G.resize(static_cast<std::size_t>(n) + 1);
  for (std::int32_t c = 0; c <= n; ++c) {
    G[static_cast<std::size_t>(c)] = EntropyTerm(static_cast<double>(c) * scale);
  }
}

double TBandEntropy::operator()(const std::vector<double> &values) {
  assert(static_cast<std::size_t>(Last) < values.size());
  if (G.empty()) {
    Calc_ENTR2(values, First, Last, hist_);
    return MeanBinEntropy(hist_);
  }
  std::uint32_t total[kFastBins];
  BinValues(values, First, Last, NBins, total, [](std::int32_t) {});
  double sum = 0.0;
  for (std::int32_t b = 0; b < NBins; ++b) {
    sum += G[total[b]];
  }
  return sum / static_cast<double>(NBins);
}

double MeanBinEntropy(const std::vector<double> &hist) {
  double total = 0.0;
  for (const double h : hist) {
    total += EntropyTerm(h);
  }
  return total / static_cast<double>(hist.size());
}

} // namespace pvc2::mapi

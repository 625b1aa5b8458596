#include "detection/pvc2/mapi.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>

namespace pvc2::mapi {

void Calc_ENTR2(const std::vector<double> &values, int first, int last, std::vector<double> &hist) {
  assert(first >= 0 && last >= first && static_cast<std::size_t>(last) < values.size());
  const std::int32_t n = last - first + 1;
  const auto A = static_cast<std::int32_t>(std::floor(2.0 * std::pow(static_cast<double>(n * n), 0.2)));
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
  for (int k = first; k <= last; ++k) {
    const double t = (std::abs(values[k]) - low) / width;
    std::int32_t bin = 0;
    if (t >= static_cast<double>(nBins)) {
      bin = nBins - 1;
    } else if (t > 0.0) {
      bin = static_cast<std::int32_t>(t);
    }
    hist[bin] += 1.0;
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

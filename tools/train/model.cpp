#include "tools/train/model.h"

#include <algorithm>
#include <cmath>

namespace train {

void Project(const TTrainModel &model, const double *x, double *y) {
  const std::size_t n = model.FeatureCount();
  const auto powers = static_cast<std::size_t>(model.PowCount);
  for (std::size_t i = 0; i < static_cast<std::size_t>(model.M); ++i) {
    const std::vector<double> &row = model.w[i];
    double acc = model.x00[i];
    for (std::size_t j = 0; j < n; ++j) {
      const double z = (x[j] - model.maxX[j]) * (1.0 / model.minX[j]) - model.X0[j];
      if (powers <= 1) {
        acc += row[j] * z;
        continue;
      }
      double zk = 1.0;
      for (std::size_t k = 0; k < powers; ++k) {
        acc += row[k * n + j] * zk;
        zk *= z;
      }
    }
    y[i] = acc;
  }
}

std::int64_t BinIndex(const TTrainModel &model, const double *y, bool edges) {
  const std::int32_t nm = model.NM;
  const auto m = static_cast<std::size_t>(model.M);
  std::int64_t bin = 0;
  std::int64_t digit = 1;
  for (std::size_t k = 0; k < m; ++k) {
    const double lower = model.aabb[k] - kBinEps;
    const double upper = model.aabb[m + k] + kBinEps;
    std::int64_t idx = 0;
    if (!std::isfinite(y[k])) {
      return -1; // the classifier drops points with a non-finite coordinate in both histograms
    }
    if (!edges) {
      const double width = (upper - lower) / nm;
      const double pos = std::floor((y[k] - lower) / width);
      if (!(pos >= 0.0 && pos < nm)) {
        return -1;
      }
      idx = static_cast<std::int64_t>(pos);
    } else if (y[k] >= lower && y[k] <= upper) {
      const auto first = model.mh.begin() + static_cast<std::ptrdiff_t>(k * (nm + 1));
      const auto last = first + nm + 1;
      const auto it = std::lower_bound(first, last, y[k]);
      idx = it == first ? 0 : (it - first) - 1;
    } else {
      idx = nm - 1;
    }
    bin += idx * digit;
    digit *= nm;
  }
  return bin;
}

std::int32_t BinWeight(const TTrainModel &model, std::int64_t bin) {
  const auto it = std::lower_bound(model.ind.begin(), model.ind.end(), bin);
  if (it == model.ind.end() || *it != bin) {
    return 0;
  }
  return model.pp[static_cast<std::size_t>(it - model.ind.begin())];
}

} // namespace train

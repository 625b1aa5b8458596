#pragma once
// The trained model in the shape the station's classifier reads it: normalisation, projection, histogram
// bounds, bin weights and optional per-dimension bin edges. Field names are the training file's keys.
// The projection and bin-index functions below reproduce the classifier's arithmetic so that the trainer
// weighs exactly the bins the classifier will later look up.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace train {

struct TTrainModel {
  std::vector<double> maxX;           // per feature: value subtracted first (here the feature's mean)
  std::vector<double> minX;           // per feature: divisor (here the feature's spread)
  std::vector<double> X0;             // per feature: offset after scaling (here 0)
  std::vector<double> x00;            // per projected dimension: bias
  std::vector<std::vector<double>> w; // M rows of PowCount blocks of n weights; block k multiplies z^k
  std::int32_t PowCount = 1;
  std::vector<double> aabb;      // M lower bounds, then M upper bounds
  std::vector<std::int32_t> pp;  // weights of the rewarded bins, parallel to ind
  std::vector<std::int32_t> ind; // linear bin indices, ascending
  std::int32_t NM = 0;           // bins per dimension
  std::int32_t M = 0;            // projected dimensions
  std::vector<double> mh;        // NM + 1 edges per dimension (only for the edge-table histogram), else empty

  std::size_t FeatureCount() const { return X0.size(); }
};

// Bounds are widened by this much before binning, as the classifier does.
inline constexpr double kBinEps = 1e-10;

// Projects one feature vector x (FeatureCount() values) onto y (M values), the classifier's way:
// z_j = (x_j - maxX_j) * (1 / minX_j) - X0_j, y_i = x00_i + sum_k sum_j w_i[k n + j] z_j^k
// (with PowCount 1 the single block multiplies z itself).
void Project(const TTrainModel &model, const double *x, double *y);

// Linear bin index of a projected point (dimension 0 the least significant digit), or -1 when the histogram
// drops the point (a non-finite coordinate, or with uniform bins a coordinate outside the bounds). With `edges`
// the edge table mh is used and out-of-bounds values count in bin NM - 1 of their dimension.
std::int64_t BinIndex(const TTrainModel &model, const double *y, bool edges);

// Weight of a linear bin (0 for bins not listed in ind).
std::int32_t BinWeight(const TTrainModel &model, std::int64_t bin);

} // namespace train

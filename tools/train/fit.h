#pragma once
// Fitting of the station's histogram classifier from two labelled sets of feature vectors.
//
// The model, step by step:
// 1. Normalisation: z = (x - mean) / spread per feature, with mean and spread of the class-balanced mixture
//    (each class weighs one half whatever its size); a feature without spread gets divisor 1.
// 2. Projection: the features (and, with PowCount P > 1, their powers z^1 .. z^(P-1)) are whitened against the
//    pooled within-class scatter. The first direction is Fisher's discriminant (the whitened mean difference);
//    the others are the directions, orthogonal to it, along which the two classes' spreads differ most
//    (eigenvectors of the whitened target scatter, ranked by the symmetric Kullback-Leibler divergence of two
//    zero-mean Gaussians with that variance ratio). Each projected dimension has unit within-class variance.
// 3. Histogram bounds: the 0.5 % and 99.5 % points of each class's projected values, the wider of the two.
// 4. Bin weights: the smoothed log-likelihood ratio ln(P(bin | target) / P(bin | background)) of every bin the
//    target visits, scaled so the best bin weighs `maxWeight` and rounded; only bins with weight >= 1 are kept.
//    With `signedWeights` every occupied bin keeps its rounded ratio, negative ones too (capped at -maxWeight);
//    the negative ones are scaled down when needed so that the weights still sum to a positive number (the
//    classifier divides by that sum).
//    The classifier's score then sums, over the window, the evidence of each vector in favour of the target.
// 5. With edge tables the bins of each dimension are the class-balanced quantiles of the projected values.
// Pure computation: no files, no threads; used by the trainer program and its tests.

#include "tools/train/model.h"

#include <cstddef>
#include <string>
#include <vector>

namespace train {

// Feature vectors of one class, row-major, `dim` values each.
struct TFeatureSet {
  std::size_t dim = 0;
  std::vector<double> values;

  explicit TFeatureSet(std::size_t d = 0) : dim(d) {}
  std::size_t Count() const { return dim == 0 ? 0 : values.size() / dim; }
  const double *Row(std::size_t i) const { return values.data() + i * dim; }
  void Append(const double *x) { values.insert(values.end(), x, x + dim); }
  void AppendAll(const TFeatureSet &other) { values.insert(values.end(), other.values.begin(), other.values.end()); }
};

struct TFitOptions {
  int M = 2;              // projected dimensions (from detect.json)
  int NM = 16;            // bins per dimension
  int PowCount = 1;       // power terms per feature in the training file (1 or 2: linear; 3: adds z^2 ...)
  bool edges = false;     // write per-dimension quantile edges "mh" (detect.json "IsDynamicNet" 1)
  double smoothing = 0.5; // pseudo-count added to every bin of each class before the likelihood ratio
  int maxWeight = 100;    // weight of the bin that favours the target most
  double tail = 0.005;    // share of each class left outside the histogram bounds at each end
  // Bins the background favours get negative weights too (the log-likelihood ratio, capped at -maxWeight), so a
  // window's score is its frames' summed evidence for and against the target rather than only for it.
  bool signedWeights = false;
};

// Largest number of histogram bins (NM^M) the trainer accepts: the dense-table classifier holds one weight per
// bin in each of its four detector threads.
inline constexpr long long kMaxBins = 1LL << 24;

// What the fit found, for the trainer's report.
struct TFitReport {
  struct TDirection {
    double separation = 0.0; // symmetric Kullback-Leibler divergence of the classes' Gaussian fits along it
    double targetMean = 0.0, targetSd = 0.0, backgroundMean = 0.0, backgroundSd = 0.0;
  };
  std::vector<TDirection> directions;
  std::size_t rank = 0;         // independent directions in the (expanded) feature space
  std::size_t occupiedBins = 0; // bins holding any training vector
  std::size_t rewardedBins = 0; // bins kept in pp / ind
  double targetInBounds = 0.0;  // share of target vectors inside the uniform histogram's bounds
  double backgroundInBounds = 0.0;
  double targetMeanWeight = 0.0; // mean bin weight of the training vectors, per class
  double backgroundMeanWeight = 0.0;
};

// Checks the options on their own (M, NM, bin count, PowCount...). Empty string when they are usable.
std::string CheckFitOptions(const TFitOptions &options);

// Fits `model` to the two sets (finite values only, at least two vectors each). On failure returns false with
// a one-line reason in `error` and leaves `model` unspecified.
bool FitModel(const TFeatureSet &target, const TFeatureSet &background, const TFitOptions &options, TTrainModel &model,
              TFitReport &report, std::string &error);

} // namespace train

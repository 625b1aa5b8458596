#pragma once
// Histogram classifier of one channel: projects feature vectors onto the trained dimensions, histograms them
// segment by segment (KK vectors per segment) and scores the window of segments against the trained bin
// weights. Owned and called by one thread (a detector thread, or an offline tool); no locks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "detection/detect_config.h"
#include "detection/dtc_v2/training_res.h"

namespace dtc_v2 {

// A sparse histogram: `first` holds the counts, `second` the linear bin index of each count.
using THistogram = std::pair<std::vector<std::int32_t>, std::vector<std::int32_t>>;

// The result of one classification.
struct TResRecord {
  double score = 0.0;
  std::int32_t detected = 0; // 1 when score >= border
};

// Running state of the classifier.
struct TDtcSessionArgs {
  std::vector<double> lo;           // M lower histogram bounds
  std::vector<double> hi;           // M upper histogram bounds
  std::vector<THistogram> segments; // one histogram per segment of KK vectors, oldest first
  std::vector<double> unused;       // kept empty
  bool started = false;             // false until the first full window was scored
  // Feature vectors not yet histogrammed: the first ObservationCount() entries. The vectors behind them are
  // kept as storage so that steady operation does not allocate.
  std::vector<std::vector<double>> observations;
};

// Classifier settings that detect.json must satisfy ("M", "KK", "NN", "KN"). Returns "" or one line naming
// the key and value (without a file name).
std::string CheckClassifierSettings(const detection::TDetectConfig &c);

// Training data against the settings and the chosen lookup. Returns "" or one line naming the training key
// and what is wrong with it (without a file name).
std::string CheckTrainingData(const detection::TDetectConfig &c, const TTrainingRes &t, bool denseBinWeights);

class TDetector {
public:
  // `denseBinWeights` selects the dense table lookup of ormelin_station2 instead of the binary search in
  // `ind`. Throws std::invalid_argument with the one-line reason of the checks above when the settings or
  // the training data cannot be used.
  TDetector(const detection::TDetectConfig &c, const TTrainingRes &t, bool denseBinWeights);

  // Adds one feature vector (FeatureLength() values; missing values count as NaN). Returns true, with `r`
  // filled, exactly when a new score was computed.
  bool proc_one_pvector(std::vector<double> &v, TResRecord &r);

  // Projects observations [first, last) into `out`, resized to last - first points of M values.
  void Observation_Projection(const std::vector<std::vector<double>> &obs, int first, int last,
                              std::vector<std::vector<double>> &out);
  // Uniform bins between lo - eps and hi + eps; points outside the bounds or with a non-finite coordinate
  // are dropped. Bins appear in order of first occurrence.
  void histND(const std::vector<std::vector<double>> &pts, int nm, const std::vector<double> &lo,
              const std::vector<double> &hi, THistogram &out) const;
  // Bins from the edge table `mh` (NM + 1 edges per dimension); a value outside [lo - eps, hi + eps] goes to
  // bin NM - 1 of its dimension, a value above the last edge to index NM. Points with a non-finite
  // coordinate are dropped. Bins appear in order of first occurrence.
  void histND_0(const std::vector<std::vector<double>> &pts, int nm, const std::vector<double> &lo,
                const std::vector<double> &hi, THistogram &out) const;

  // Trained weight of linear bin `b` (0 for untrained bins), through the chosen lookup.
  std::int32_t BinWeight(std::int32_t b) const;
  bool UsesDenseBinWeights() const { return dense_; }
  std::size_t ObservationCount() const { return nObs_; }
  std::int32_t FeatureLength() const { return featLen; }

  TDtcSessionArgs args;
  double score = 0.0;
  std::int32_t detected = 0;
  std::int32_t segCount; // segments in the window
  std::int32_t featLen;  // N_MFCC + 2
  double ppSum = 0.0;    // sum of pp
  std::int32_t M;        // projected dimensions (from the settings)
  std::int32_t NM;       // bins per dimension (from the training file)
  double border;
  std::int32_t KK;
  std::int32_t KN;
  std::int32_t windowVectors; // segCount * KK
  double eps = 1e-10;
  std::int32_t NN;
  std::vector<std::int32_t> binWeights; // dense lookup only: NM^M entries, entry b = weight of bin b
  TTrainingRes train;

private:
  void Histogram(const std::vector<std::vector<double>> &pts, THistogram &out) const;
  void Score(TResRecord &r);
  THistogram TakeHistogram();
  void DropOldest();
  // K (points) and O (weighted points) of one segment's histogram.
  std::pair<std::int64_t, std::int64_t> SegmentSums(const THistogram &h) const;

  bool dense_;
  std::size_t nObs_ = 0;
  std::vector<double> invMinX_;           // 1 / minX, per feature element
  std::vector<double> z_;                 // scaled feature vector scratch
  std::vector<double> nmPow_;             // NM^k, k < M
  std::vector<std::vector<double>> proj_; // projected points scratch
  std::vector<THistogram> pool_;          // storage of dropped segments, reused for new ones
  // SegmentSums of args.segments, entry for entry: a score adds them up instead of looking every bin of every
  // segment up again. Integers, so the sum is the same in any order.
  std::vector<std::pair<std::int64_t, std::int64_t>> segSums_;
};

} // namespace dtc_v2

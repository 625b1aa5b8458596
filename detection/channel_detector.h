#pragma once
// The pure detection chain of one channel: feature processor followed by the histogram classifier. Fed one
// sample at a time, it reports each new classifier score. The detector thread runs it on live blocks; the
// offline tools run the very same object on recorded sound, so both compute identical numbers. Owned and
// called by one thread.

#include <cstddef>
#include <vector>

#include "detection/detect_config.h"
#include "detection/dtc_v2/detector.h"
#include "detection/dtc_v2/training_res.h"
#include "detection/pvc2/pvc_processor.h"

namespace detection {

class TChannelDetector {
public:
  // Throws what the processor and the classifier throw for unusable settings or training data
  // (std::length_error "invalid FFT size", std::invalid_argument with a one-line reason).
  TChannelDetector(const TDetectConfig &c, const dtc_v2::TTrainingRes &t, bool denseBinWeights);

  // Consumes one sample; returns true and sets `score` when the classifier produced a new score.
  bool PushSample(double x, double &score);

  // The same as PushSample on each of x[0 .. n), calling onScore(score) for every new score, in order.
  template <typename F> void PushSamples(const double *x, std::size_t n, F &&onScore) {
    while (n > 0) {
      feature_.clear();
      bool framed = false;
      const std::size_t used = proc_.ProcSamples(x, n, feature_, framed);
      x += used;
      n -= used;
      if (framed) {
        dtc_v2::TResRecord r;
        if (classifier_.proc_one_pvector(feature_, r)) {
          record_ = r;
          onScore(r.score);
        }
      }
    }
  }

  pvc2::TPVC_Processor &Processor() { return proc_; }
  dtc_v2::TDetector &Classifier() { return classifier_; }
  // The record of the latest score (score and detected flag).
  const dtc_v2::TResRecord &LastRecord() const { return record_; }

private:
  pvc2::TPVC_Processor proc_;
  dtc_v2::TDetector classifier_;
  std::vector<double> feature_;
  dtc_v2::TResRecord record_;
};

} // namespace detection

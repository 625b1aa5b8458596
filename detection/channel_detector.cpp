#include "detection/channel_detector.h"

namespace detection {

TChannelDetector::TChannelDetector(const TDetectConfig &c, const dtc_v2::TTrainingRes &t, bool denseBinWeights)
    : proc_(c), classifier_(c, t, denseBinWeights) {
  feature_.reserve(static_cast<std::size_t>(proc_.FeatureLength()));
}

bool TChannelDetector::PushSample(double x, double &score) {
  feature_.clear();
  if (!proc_.ProcNext(x, feature_)) {
    return false;
  }
  dtc_v2::TResRecord r;
  if (!classifier_.proc_one_pvector(feature_, r)) {
    return false;
  }
  record_ = r;
  score = r.score;
  return true;
}

} // namespace detection

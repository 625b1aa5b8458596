#include "detection/dtc_v2/detector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace dtc_v2 {

namespace {

constexpr std::int32_t kMaxDimensions = 64;
constexpr std::int64_t kMaxWindowVectors = 1000000;
constexpr std::int64_t kMaxDenseBins = std::int64_t{1} << 24; // 64 MiB of weights per detector thread

std::string Quoted(const char *key) { return "\"" + std::string(key) + "\""; }

std::string KeyInt(const char *key, std::int64_t v) { return Quoted(key) + " " + std::to_string(v); }

std::string Real(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string Count(const char *key, std::size_t have) {
  return Quoted(key) + " has " + std::to_string(have) + " values";
}

// Largest linear bin index any histogram can form: sum over k < M of NM x NM^k (the edge-table histogram
// can reach index NM in a dimension). Saturates instead of overflowing.
double LargestBinIndex(std::int32_t nm, std::int32_t m) {
  double total = 0.0;
  double p = 1.0;
  for (std::int32_t k = 0; k < m; ++k) {
    total += static_cast<double>(nm) * p;
    p *= nm;
  }
  return total;
}

} // namespace

std::string CheckClassifierSettings(const detection::TDetectConfig &c) {
  if (c.M < 1 || c.M > kMaxDimensions) {
    return KeyInt("M", c.M) + " must be between 1 and " + std::to_string(kMaxDimensions);
  }
  if (c.KK < 1) {
    return KeyInt("KK", c.KK) + " must be >= 1";
  }
  if (c.NN < 1) {
    return KeyInt("NN", c.NN) + " must be >= 1";
  }
  if (c.KN < c.NN) {
    return KeyInt("KN", c.KN) + " must be >= \"NN\" " + std::to_string(c.NN);
  }
  if (static_cast<std::int64_t>(c.KN) * c.KK > kMaxWindowVectors) {
    return KeyInt("KN", c.KN) + " x \"KK\" " + std::to_string(c.KK) + " must not exceed " +
           std::to_string(kMaxWindowVectors) + " feature vectors";
  }
  return "";
}

std::string CheckTrainingData(const detection::TDetectConfig &c, const TTrainingRes &t, bool denseBinWeights) {
  const auto featLen = static_cast<std::size_t>(std::max(c.N_MFCC, 0) + 2);
  const auto m = static_cast<std::size_t>(std::max(c.M, 0));
  const std::string needFeat = ", needs at least " + std::to_string(featLen) + " (\"N_MFCC\" " +
                               std::to_string(c.N_MFCC) + " + 2 feature elements)";
  if (t.maxX.size() < featLen) {
    return Count("maxX", t.maxX.size()) + needFeat;
  }
  if (t.minX.size() < featLen) {
    return Count("minX", t.minX.size()) + needFeat;
  }
  for (std::size_t j = 0; j < featLen; ++j) {
    if (t.minX[j] == 0.0) {
      return Quoted("minX") + " element " + std::to_string(j) + " is 0 (a divisor)";
    }
  }
  if (t.X0.size() < featLen) {
    return Count("X0", t.X0.size()) + needFeat;
  }
  const std::string needM = ", needs at least \"M\" " + std::to_string(c.M);
  if (t.x00.size() < m) {
    return Count("x00", t.x00.size()) + needM;
  }
  if (t.w.size() < m) {
    return Quoted("w") + " has " + std::to_string(t.w.size()) + " rows" + needM;
  }
  for (std::size_t i = 0; i < t.w.size(); ++i) {
    if (t.w[i].size() != t.w[0].size()) {
      return Quoted("w") + " row " + std::to_string(i) + " has " + std::to_string(t.w[i].size()) +
             " values, row 0 has " + std::to_string(t.w[0].size()) + " (rows must be equally long)";
    }
  }
  if (t.w[0].empty() || t.w[0].size() % t.X0.size() != 0 || t.PowCount < 1) {
    return Quoted("w") + " rows have " + std::to_string(t.w[0].size()) +
           " values, must be a non-zero multiple of the length of \"X0\" (" + std::to_string(t.X0.size()) + ")";
  }
  if (t.aabb.size() < 2 * m) {
    return Count("aabb", t.aabb.size()) + ", needs at least 2 x \"M\" (" + std::to_string(2 * m) + ")";
  }
  for (std::size_t k = 0; k < m; ++k) {
    const double lo = t.aabb[k];
    const double hi = t.aabb[m + k];
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) {
      return Quoted("aabb") + " bounds of dimension " + std::to_string(k) + " (" + Real(lo) + ", " + Real(hi) +
             ") must be finite with the lower below the upper";
    }
  }
  if (t.NM < 1) {
    return KeyInt("NM", t.NM) + " must be >= 1";
  }
  if (LargestBinIndex(t.NM, c.M) > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return KeyInt("NM", t.NM) + " with \"M\" " + std::to_string(c.M) + " gives bin indices beyond 32 bits";
  }
  if (c.IsDynamicNet && !t.mh.empty()) {
    const std::size_t perDim = static_cast<std::size_t>(t.NM) + 1;
    if (t.mh.size() < m * perDim) {
      return Count("mh", t.mh.size()) + R"(, needs at least "M" x ("NM" + 1) = )" + std::to_string(m * perDim);
    }
    for (std::size_t k = 0; k < m; ++k) {
      for (std::size_t e = 1; e < perDim; ++e) {
        const double a = t.mh[k * perDim + e - 1];
        const double b = t.mh[k * perDim + e];
        if (!(a <= b)) {
          return Quoted("mh") + " edges of dimension " + std::to_string(k) + " are not ascending at edge " +
                 std::to_string(e) + " (" + Real(a) + " then " + Real(b) + ")";
        }
      }
    }
  }
  if (t.pp.size() != t.ind.size()) {
    return Count("pp", t.pp.size()) + ", \"ind\" has " + std::to_string(t.ind.size()) + " (must be equally long)";
  }
  double sum = 0.0;
  for (const std::int32_t p : t.pp) {
    sum += p;
  }
  if (!(sum > 0.0)) {
    return Quoted("pp") + " sums to " + Real(sum) + " (" + std::to_string(t.pp.size()) + " values), must be positive";
  }
  if (denseBinWeights) {
    const double bins = std::pow(static_cast<double>(t.NM), c.M);
    if (bins > static_cast<double>(kMaxDenseBins)) {
      return KeyInt("NM", t.NM) + " with \"M\" " + std::to_string(c.M) + " needs a weight table of " + Real(bins) +
             " entries, more than " + std::to_string(kMaxDenseBins);
    }
    const auto total = static_cast<std::int64_t>(bins);
    for (std::size_t k = 0; k < t.ind.size(); ++k) {
      if (t.ind[k] < 0 || t.ind[k] >= total) {
        return Quoted("ind") + " element " + std::to_string(k) + " is " + std::to_string(t.ind[k]) + ", outside the " +
               std::to_string(total) + R"( bins of "NM"^"M")";
      }
    }
  } else {
    for (std::size_t k = 1; k < t.ind.size(); ++k) {
      if (!(t.ind[k - 1] < t.ind[k])) {
        return Quoted("ind") + " is not strictly ascending at element " + std::to_string(k) + " (" +
               std::to_string(t.ind[k - 1]) + " then " + std::to_string(t.ind[k]) + ")";
      }
    }
  }
  return "";
}

namespace {

const TTrainingRes &Checked(const detection::TDetectConfig &c, const TTrainingRes &t, bool dense) {
  std::string why = CheckClassifierSettings(c);
  if (why.empty()) {
    why = CheckTrainingData(c, t, dense);
  }
  if (!why.empty()) {
    throw std::invalid_argument(why);
  }
  return t;
}

} // namespace

TDetector::TDetector(const detection::TDetectConfig &c, const TTrainingRes &t, bool denseBinWeights)
    : segCount(c.NN), featLen(c.N_MFCC + 2), M(c.M), NM(t.NM), border(c.border), KK(c.KK), KN(c.KN),
      windowVectors(c.NN * c.KK), NN(c.NN), train(Checked(c, t, denseBinWeights)), dense_(denseBinWeights) {
  args.lo.assign(train.aabb.begin(), train.aabb.begin() + M);
  args.hi.assign(train.aabb.begin() + M, train.aabb.begin() + static_cast<std::ptrdiff_t>(2) * M);
  for (const std::int32_t p : train.pp) {
    ppSum += p;
  }
  if (dense_) {
    const auto total = static_cast<std::int32_t>(std::pow(static_cast<double>(NM), M));
    binWeights.assign(static_cast<std::size_t>(total), 0);
    for (std::size_t k = 0; k < train.pp.size(); ++k) {
      binWeights[train.ind[k]] = train.pp[k]; // a repeated index takes its later weight
    }
  }
  invMinX_.resize(static_cast<std::size_t>(featLen));
  for (std::int32_t j = 0; j < featLen; ++j) {
    invMinX_[j] = 1.0 / train.minX[j];
  }
  z_.resize(static_cast<std::size_t>(featLen));
  nmPow_.resize(static_cast<std::size_t>(M));
  for (std::int32_t k = 0; k < M; ++k) {
    nmPow_[k] = std::pow(static_cast<double>(NM), k);
  }
  args.observations.reserve(static_cast<std::size_t>(windowVectors));
  args.segments.reserve(static_cast<std::size_t>(KN) + 1);
  pool_.reserve(static_cast<std::size_t>(KN) + 2);
  segSums_.reserve(static_cast<std::size_t>(KN) + 1);
}

std::int32_t TDetector::BinWeight(std::int32_t b) const {
  if (dense_) {
    // The edge-table histogram can form indices at or above NM^M; they are untrained.
    return (b >= 0 && static_cast<std::size_t>(b) < binWeights.size()) ? binWeights[b] : 0;
  }
  const std::vector<std::int32_t> &ind = train.ind;
  std::int32_t low = 0;
  std::int32_t high = static_cast<std::int32_t>(ind.size()) - 1;
  while (low <= high) {
    const std::int32_t mid = low + (high - low) / 2;
    if (ind[mid] == b) {
      return train.pp[mid];
    }
    if (ind[mid] < b) {
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  return 0;
}

void TDetector::Observation_Projection(const std::vector<std::vector<double>> &obs, int first, int last,
                                       std::vector<std::vector<double>> &out) {
  const std::int32_t n = featLen;
  const std::int32_t P = train.PowCount;
  out.resize(static_cast<std::size_t>(last - first));
  for (int o = first; o < last; ++o) {
    const std::vector<double> &x = obs[o];
    for (std::int32_t j = 0; j < n; ++j) {
      z_[j] = (x[j] - train.maxX[j]) * invMinX_[j] - train.X0[j];
    }
    std::vector<double> &y = out[o - first];
    y.resize(static_cast<std::size_t>(M));
    for (std::int32_t i = 0; i < M; ++i) {
      const std::vector<double> &w = train.w[i];
      double acc = train.x00[i];
      if (P == 1) {
        for (std::int32_t j = 0; j < n; ++j) {
          acc += w[j] * z_[j];
        }
      } else {
        // Block k of the row weighs the k-th power of z (block 0 the constant 1).
        for (std::int32_t j = 0; j < n; ++j) {
          double zk = 1.0;
          for (std::int32_t k = 0; k < P; ++k) {
            acc += w[static_cast<std::size_t>(k) * n + j] * zk;
            zk *= z_[j];
          }
        }
      }
      y[i] = acc;
    }
  }
}

namespace {

void AddToHistogram(THistogram &h, std::int32_t b) {
  auto &counts = h.first;
  auto &bins = h.second;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins[i] == b) {
      ++counts[i];
      return;
    }
  }
  counts.push_back(1);
  bins.push_back(b);
}

} // namespace

void TDetector::histND(const std::vector<std::vector<double>> &pts, int nm, const std::vector<double> &lo,
                       const std::vector<double> &hi, THistogram &out) const {
  out.first.clear();
  out.second.clear();
  out.first.reserve(pts.size());
  out.second.reserve(pts.size());
  for (const auto &y : pts) {
    std::int32_t b = 0;
    bool inside = true;
    for (std::int32_t k = 0; k < M && inside; ++k) {
      const double L = lo[k] - eps;
      const double U = hi[k] + eps;
      const double S = (U - L) / nm;
      // Tested as a double so that a non-finite or far-out value is dropped before any conversion to int.
      const double idx = std::floor((y[k] - L) / S);
      if (!(idx >= 0.0 && idx < nm) || !std::isfinite(y[k])) {
        inside = false;
        break;
      }
      b += static_cast<std::int32_t>(nmPow_[k] * idx);
    }
    if (inside) {
      AddToHistogram(out, b);
    }
  }
}

void TDetector::histND_0(const std::vector<std::vector<double>> &pts, int nm, const std::vector<double> &lo,
                         const std::vector<double> &hi, THistogram &out) const {
  out.first.clear();
  out.second.clear();
  out.first.reserve(pts.size());
  out.second.reserve(pts.size());
  const std::size_t perDim = static_cast<std::size_t>(nm) + 1;
  for (const auto &y : pts) {
    std::int32_t b = 0;
    bool finite = true;
    for (std::int32_t k = 0; k < M; ++k) {
      const double v = y[k];
      if (!std::isfinite(v)) {
        finite = false;
        break;
      }
      std::int32_t idx = nm - 1;
      if (lo[k] - eps <= v && v <= hi[k] + eps) {
        const double *edges = train.mh.data() + k * perDim;
        const auto pos = static_cast<std::int32_t>(std::lower_bound(edges, edges + perDim, v) - edges);
        idx = pos == 0 ? 0 : pos - 1; // reaches nm above the last edge
      }
      b += idx * static_cast<std::int32_t>(nmPow_[k]);
    }
    if (finite) {
      AddToHistogram(out, b);
    }
  }
}

void TDetector::Histogram(const std::vector<std::vector<double>> &pts, THistogram &out) const {
  if (train.mh.empty()) {
    histND(pts, NM, args.lo, args.hi, out);
  } else {
    histND_0(pts, NM, args.lo, args.hi, out);
  }
}

THistogram TDetector::TakeHistogram() {
  if (pool_.empty()) {
    return {};
  }
  THistogram h = std::move(pool_.back());
  pool_.pop_back();
  h.first.clear();
  h.second.clear();
  return h;
}

void TDetector::DropOldest() {
  auto &seg = args.segments;
  pool_.push_back(std::move(seg.front()));
  seg.erase(seg.begin());
  if (!segSums_.empty()) {
    segSums_.erase(segSums_.begin());
  }
}

std::pair<std::int64_t, std::int64_t> TDetector::SegmentSums(const THistogram &h) const {
  std::int64_t K = 0;
  std::int64_t O = 0;
  for (std::size_t i = 0; i < h.first.size(); ++i) {
    K += h.first[i];
    O += static_cast<std::int64_t>(h.first[i]) * BinWeight(h.second[i]);
  }
  return {K, O};
}

void TDetector::Score(TResRecord &r) {
  // The cache follows the segments through proc_one_pvector; if anything else changed the segments, it is
  // rebuilt from them.
  if (segSums_.size() != args.segments.size()) {
    segSums_.clear();
    for (const THistogram &h : args.segments) {
      segSums_.push_back(SegmentSums(h));
    }
  }
  std::int64_t K = 0;
  std::int64_t O = 0;
  for (const auto &[k, o] : segSums_) {
    K += k;
    O += o;
  }
  score = (static_cast<double>(K) * static_cast<double>(O)) / (static_cast<double>(windowVectors) * ppSum);
  detected = score >= border ? 1 : 0;
  r.score = score;
  r.detected = detected;
  nObs_ = 0;
}

bool TDetector::proc_one_pvector(std::vector<double> &v, TResRecord &r) {
  auto &obs = args.observations;
  if (nObs_ == obs.size()) {
    obs.emplace_back();
  }
  std::vector<double> &slot = obs[nObs_];
  slot.assign(v.begin(), v.end());
  if (slot.size() < static_cast<std::size_t>(featLen)) {
    slot.resize(static_cast<std::size_t>(featLen), std::numeric_limits<double>::quiet_NaN());
  }
  ++nObs_;
  const auto c = static_cast<std::int64_t>(nObs_);

  if (!args.started) {
    if (c < windowVectors) {
      return false;
    }
    args.segments.resize(static_cast<std::size_t>(NN));
    for (std::int32_t s = 0; s < NN; ++s) {
      Observation_Projection(obs, s * KK, (s + 1) * KK, proj_);
      Histogram(proj_, args.segments[s]);
    }
    Score(r);
    args.started = true;
    return true;
  }

  if (c < KK) {
    return false;
  }
  Observation_Projection(obs, 0, KK, proj_);
  THistogram H = TakeHistogram();
  Histogram(proj_, H);

  // Window update, decided by the previous score: shrink back to NN segments after a non-detection, grow by
  // one segment per update (up to KN) while detections persist.
  auto &seg = args.segments;
  if (detected == 0) {
    segCount = NN - 1;
    windowVectors = (NN - 1) * KK;
    while (seg.size() > static_cast<std::size_t>(NN - 1)) {
      DropOldest();
    }
  } else if (segCount == KN) {
    DropOldest();
  }
  seg.push_back(std::move(H));
  if (segSums_.size() + 1 == seg.size()) {
    segSums_.push_back(SegmentSums(seg.back()));
  }
  if (segCount < KN) {
    segCount += 1;
    windowVectors += KK;
  }
  Score(r);
  return true;
}

} // namespace dtc_v2

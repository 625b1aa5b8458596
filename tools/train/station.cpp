#include "tools/train/station.h"

#include "detection/dtc_v2/detector.h"
#include "detection/pvc2/pvc_processor.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace train {

TFeatureSet ExtractFeatures(const detection::TDetectConfig &c, const std::vector<double> &samples) {
  pvc2::TPVC_Processor proc(c);
  TFeatureSet set(static_cast<std::size_t>(proc.FeatureLength()));
  std::vector<double> feature;
  feature.reserve(set.dim);
  for (double x : samples) {
    feature.clear();
    if (proc.ProcNext(x, feature)) {
      set.Append(feature.data());
    }
  }
  return set;
}

std::size_t CountNonFinite(const TFeatureSet &set) {
  std::size_t bad = 0;
  for (std::size_t i = 0; i < set.Count(); ++i) {
    const double *row = set.Row(i);
    bad += std::all_of(row, row + set.dim, [](double v) { return std::isfinite(v); }) ? 0 : 1;
  }
  return bad;
}

void AppendFinite(const TFeatureSet &set, TFeatureSet &out) {
  for (std::size_t i = 0; i < set.Count(); ++i) {
    const double *row = set.Row(i);
    if (std::all_of(row, row + set.dim, [](double v) { return std::isfinite(v); })) {
      out.Append(row);
    }
  }
}

dtc_v2::TTrainingRes ToTrainingRes(const TTrainModel &model) {
  dtc_v2::TTrainingRes t;
  t.maxX = model.maxX;
  t.minX = model.minX;
  t.X0 = model.X0;
  t.x00 = model.x00;
  t.w = model.w;
  t.PowCount = model.PowCount;
  t.aabb = model.aabb;
  t.pp = model.pp;
  t.ind = model.ind;
  t.NM = model.NM;
  t.M = model.M;
  t.mh = model.mh;
  return t;
}

dtc_v2::TTrainingRes AsLoaded(const dtc_v2::TTrainingRes &t, bool isDynamicNet) {
  std::string path = (std::filesystem::temp_directory_path() / "ormelin_train_XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  if (fd < 0) {
    throw std::runtime_error("cannot create a temporary file in " + std::filesystem::temp_directory_path().string());
  }
  ::close(fd);
  // Removes the file (and Save's own temporary) whatever happens below.
  struct TRemover {
    const std::string &p;
    ~TRemover() {
      std::remove(p.c_str());
      std::remove((p + ".tmp").c_str());
    }
  } remover{path};
  dtc_v2::TTrainingRes loaded;
  if (!t.Save(path) || !loaded.Load(path, isDynamicNet)) {
    throw std::runtime_error("cannot write the temporary file " + path);
  }
  return loaded;
}

std::vector<double> ScoreRecording(const detection::TDetectConfig &c, const dtc_v2::TTrainingRes &t, double border,
                                   const TFeatureSet &features) {
  detection::TDetectConfig cfg = c;
  cfg.border = border;
  dtc_v2::TDetector detector(cfg, t, false);
  std::vector<double> scores;
  std::vector<double> v(features.dim);
  dtc_v2::TResRecord record;
  for (std::size_t i = 0; i < features.Count(); ++i) {
    v.assign(features.Row(i), features.Row(i) + features.dim);
    record = dtc_v2::TResRecord{};
    if (detector.proc_one_pvector(v, record)) {
      scores.push_back(record.score);
    }
  }
  return scores;
}

} // namespace train

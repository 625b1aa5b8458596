#include "detection/detection_check.h"

#include <filesystem>
#include <fstream>

#include "detection/dtc_v2/detector.h"
#include "detection/pvc2/pvc_geometry.h"

namespace detection {

std::string ResolveTrainingPath(const std::string &fname, const std::string &settingsDir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fname.empty() || fs::path(fname).is_absolute() || fs::exists(fname, ec)) {
    return fname;
  }
  const std::string candidate = settingsDir + fname;
  return fs::exists(candidate, ec) ? candidate : fname;
}

std::string CheckDetectionSetup(const TDetectConfig &c, const dtc_v2::TTrainingRes &t, bool denseBinWeights,
                                const std::string &detectPath, const std::string &trainPath) {
  pvc2::TPvcGeometry g;
  std::string why = pvc2::DeriveGeometry(c, g);
  if (why.empty()) {
    why = dtc_v2::CheckClassifierSettings(c);
  }
  if (why.empty() && c.js_train_fname.empty()) {
    why = "\"js_train_fname\" is missing, empty or not a string";
  }
  if (!why.empty()) {
    return detectPath + ": " + why;
  }

  std::error_code ec;
  std::ifstream probe;
  if (!std::filesystem::is_directory(trainPath, ec)) {
    probe.open(trainPath);
  }
  if (!probe.is_open()) {
    return trainPath + R"(: training file cannot be opened ("js_train_fname" ")" + c.js_train_fname + "\")";
  }
  if (t.maxX.empty() && t.minX.empty() && t.X0.empty() && t.w.empty() && t.aabb.empty() && t.pp.empty() &&
      t.ind.empty() && t.NM == 0) {
    return trainPath + ": holds no training data (empty, not valid JSON, or none of the expected keys)";
  }
  why = dtc_v2::CheckTrainingData(c, t, denseBinWeights);
  return why.empty() ? why : trainPath + ": " + why;
}

} // namespace detection

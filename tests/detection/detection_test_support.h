#pragma once
// Shared pieces of the detection tests: settings, synthetic signals, training data built from features,
// and temporary files. Test code only.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "detection/detect_config.h"
#include "detection/dtc_v2/detector.h"
#include "detection/dtc_v2/training_res.h"
#include "detection/pvc2/pvc_processor.h"

namespace dtest {

// The shipped "pvcalk"/"detect" values.
inline detection::TDetectConfig ShippedConfig() {
  detection::TDetectConfig c;
  c.NFFT = 1024;
  c.OverlapFFT = 0.5;
  c.N_MFCC = 6;
  c.JJ = 12;
  c.F_max = 10000;
  c.F_mid = 7000;
  c.F_min = 4000;
  c.F_Smp = 37500;
  c.MF_Wnd = 30;
  c.M = 2;
  c.KK = 10;
  c.NN = 11;
  c.KN = 12;
  c.IsDynamicNet = false;
  c.border = 0.001;
  return c;
}

// A small, fast configuration for threaded tests (a feature vector every 32 samples).
inline detection::TDetectConfig SmallConfig() {
  detection::TDetectConfig c = ShippedConfig();
  c.NFFT = 64;
  c.MF_Wnd = 8;
  c.KK = 2;
  c.NN = 3;
  c.KN = 4;
  return c;
}

// Harmonic tone (fundamental f0_hz, five harmonics) plus Gaussian noise, rounded to integers like the
// array's 16-bit samples unless `fractional`. `onOff` > 0 switches the harmonic part on and off every
// `onOff` samples, so the features change over time.
inline std::vector<double> HarmonicPlusNoise(std::size_t n, double f0_hz, double amp, double noise, unsigned seed,
                                             std::size_t onOff = 0, bool fractional = false) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> nd(0.0, noise);
  std::vector<double> x(n);
  const double fs = 37500.0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool on = onOff == 0 || (i / onOff) % 2 == 0;
    double v = nd(gen);
    if (on) {
      for (int h = 1; h <= 5; ++h) {
        v += amp / h * std::sin(2.0 * M_PI * f0_hz * h * static_cast<double>(i) / fs + 0.3 * h);
      }
    }
    x[i] = fractional ? v : std::round(v);
  }
  return x;
}

// Every feature vector the processor emits for `x`.
inline std::vector<std::vector<double>> FeaturesOf(const detection::TDetectConfig &c, const std::vector<double> &x) {
  pvc2::TPVC_Processor p(c);
  std::vector<std::vector<double>> out;
  std::vector<double> v;
  for (const double s : x) {
    v.clear();
    if (p.ProcNext(s, v)) {
      out.push_back(v);
    }
  }
  return out;
}

// Training data fitted to `features`: elements scaled to about [-0.5, 0.5], a fixed projection with
// `powCount` power blocks, bounds just inside the projected range (a few points fall outside) and an
// uneven weight on every bin, so scores follow where the points fall.
inline dtc_v2::TTrainingRes TrainingFor(const std::vector<std::vector<double>> &features, int featLen, int m, int nm,
                                        int powCount) {
  dtc_v2::TTrainingRes t;
  for (int j = 0; j < featLen; ++j) {
    double lo = 1e300;
    double hi = -1e300;
    for (const auto &v : features) {
      if (std::isfinite(v[j])) {
        lo = std::min(lo, v[j]);
        hi = std::max(hi, v[j]);
      }
    }
    t.maxX.push_back(lo < hi ? lo : 0.0);
    t.minX.push_back(lo < hi ? hi - lo : 1.0);
    t.X0.push_back(0.5);
  }
  for (int i = 0; i < m; ++i) {
    t.w.emplace_back();
    for (int k = 0; k < powCount * featLen; ++k) {
      t.w.back().push_back(std::sin(1.0 + i * 1.7 + (k % featLen) * 0.9 + (k / featLen) * 0.4) / (1 + k / featLen));
    }
    t.x00.push_back(0.1 * i);
  }
  t.PowCount = powCount;
  t.NM = nm;
  t.M = m;
  t.aabb.assign(2 * m, 0.0);
  for (int i = 0; i < m; ++i) {
    t.aabb[m + i] = 1.0;
  }
  t.ind = {0};
  t.pp = {1};
  // Bounds from the projected points (the projection itself is checked elsewhere against a reference).
  detection::TDetectConfig c;
  c.M = m;
  c.N_MFCC = featLen - 2;
  c.KK = c.NN = c.KN = 1;
  dtc_v2::TDetector probe(c, t, false);
  std::vector<std::vector<double>> ys;
  probe.Observation_Projection(features, 0, static_cast<int>(features.size()), ys);
  for (int i = 0; i < m; ++i) {
    double lo = 1e300;
    double hi = -1e300;
    for (const auto &y : ys) {
      if (std::isfinite(y[i])) {
        lo = std::min(lo, y[i]);
        hi = std::max(hi, y[i]);
      }
    }
    t.aabb[i] = lo + 0.03 * (hi - lo);
    t.aabb[m + i] = hi - 0.03 * (hi - lo);
  }
  t.ind.clear();
  t.pp.clear();
  for (int b = 0; b < static_cast<int>(std::pow(nm, m)); ++b) {
    t.ind.push_back(b);
    t.pp.push_back(1 + (b * 7) % 5);
  }
  return t;
}

// A file under the build tree's temporary folder, removed when the object goes.
class TTempFile {
public:
  explicit TTempFile(const std::string &name, const std::string &content = std::string()) {
    const auto dir = std::filesystem::temp_directory_path() / "ormelin_detection_tests";
    std::filesystem::create_directories(dir);
    path_ = (dir / (std::to_string(::getpid()) + "_" + name)).string();
    if (!content.empty()) {
      std::ofstream(path_) << content;
    }
  }
  TTempFile(const TTempFile &) = delete;
  TTempFile &operator=(const TTempFile &) = delete;
  ~TTempFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::string &Path() const { return path_; }

private:
  std::string path_;
};

} // namespace dtest

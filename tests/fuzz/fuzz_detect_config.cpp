// detect.json as the station reads it at start-up: TDetectConfig::ReadFromJson, then the checks main runs
// before any engine starts (CheckDetectionSetup against the shipped training file, for both bin-weight
// lookups, and the spectrum band check).

#include <cstddef>
#include <cstdint>
#include <string>

#include "detection/detect_config.h"
#include "detection/detection_check.h"
#include "detection/dtc_v2/training_res.h"
#include "engines/spectrum_engine.h"
#include "tests/fuzz/fuzz_input_file.h"

namespace {

const std::string &InputPath() {
  static const std::string path = ormelin_fuzz::InputFilePath("detect.json");
  return path;
}

// The shipped training file, in both readings; loaded once, since only detect.json varies here.
struct TTraining {
  dtc_v2::TTrainingRes Static;
  dtc_v2::TTrainingRes Dynamic;
  TTraining() {
    Static.Load(ORMELIN_SOURCE_DIR "/settings/train.json", false);
    Dynamic.Load(ORMELIN_SOURCE_DIR "/settings/train.json", true);
  }
};

const TTraining &Training() {
  static const TTraining training;
  return training;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const TTraining &training = Training();
  ormelin_fuzz::WriteInputFile(InputPath(), data, size);
  detection::TDetectConfig config;
  config.ReadFromJson(InputPath());
  const dtc_v2::TTrainingRes &t = config.IsDynamicNet ? training.Dynamic : training.Static;
  for (bool dense : {false, true}) {
    (void)detection::CheckDetectionSetup(config, t, dense, InputPath(), "train.json");
  }
  (void)TSpectrumEngine::CheckBand(static_cast<double>(config.F_min), static_cast<double>(config.F_max));
  return 0;
}

// The training file as a detector thread and the start-up check read it: TTrainingRes::Load in both
// readings ("mh" or not), then CheckDetectionSetup against the shipped detect.json, for both bin-weight
// lookups.

#include <cstddef>
#include <cstdint>
#include <string>

#include "detection/detect_config.h"
#include "detection/detection_check.h"
#include "detection/dtc_v2/training_res.h"
#include "tests/fuzz/fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::string path = ormelin_fuzz::InputFilePath("train.json");
  static const detection::TDetectConfig shipped = [] {
    detection::TDetectConfig c;
    c.ReadFromJson(ORMELIN_SOURCE_DIR "/settings/detect.json");
    return c;
  }();
  ormelin_fuzz::WriteInputFile(path, data, size);
  for (bool dynamic : {false, true}) {
    detection::TDetectConfig config = shipped;
    config.IsDynamicNet = dynamic;
    dtc_v2::TTrainingRes training;
    training.Load(path, dynamic);
    for (bool dense : {false, true}) {
      (void)detection::CheckDetectionSetup(config, training, dense, "detect.json", path);
    }
  }
  return 0;
}

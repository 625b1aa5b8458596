#pragma once
// Start-up checks of the detection settings and the training file, run by main before any engine thread
// starts (and again by each detector thread before it builds its chain). Pure functions, any thread.

#include <string>

#include "detection/detect_config.h"
#include "detection/dtc_v2/training_res.h"

namespace detection {

// The training file to read: a relative `fname` that does not exist in the working directory is looked up
// in `settingsDir` (which ends with a separator) too, and that path is returned when it exists; otherwise
// `fname` is returned unchanged.
std::string ResolveTrainingPath(const std::string &fname, const std::string &settingsDir);

// "" when the processor and the classifier can run on the settings `c` (read from `detectPath`) and the
// training data `t` (read from `trainPath`) with the chosen bin-weight lookup; otherwise one line naming
// the file, the key and the value, e.g. `detect.json: "NFFT" 1000 must be a power of two >= 8`.
std::string CheckDetectionSetup(const TDetectConfig &c, const dtc_v2::TTrainingRes &t, bool denseBinWeights,
                                const std::string &detectPath, const std::string &trainPath);

} // namespace detection

#pragma once
// Start-up check of the direction settings. main (or the engine that starts direction finding) calls it once
// on the record as read from dir_def.json, before the stream definer converts the microphone locations, and
// refuses to start on a non-empty answer. Pure function, callable from any thread.

#include "app/dir_def_params.h"

#include <string>

namespace dir_def_core {

// Largest "FrameSize" accepted (samples).
inline constexpr int kMaxFrameSize = 65536;

// "" when the settings can work; otherwise ONE line (no newline) naming the first offending key and its
// value, e.g. `Direction setting "FrameSize" = 1000 refused: must be a power of two from 8 to 65536`.
// Expects the microphone locations in centimetres and degrees, as in the file.
std::string CheckDirectionSettings(const TDirDefParams &p);

} // namespace dir_def_core

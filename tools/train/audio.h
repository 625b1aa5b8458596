#pragma once
// Reading one channel of a sound file (WAV, FLAC, anything libsndfile reads) as the station would receive it:
// at the station's sampling rate and as signed 16-bit values converted unscaled to double.

#include <string>
#include <vector>

namespace train {

struct TAudioInfo {
  int rateHz = 0;       // rate of the file
  int channels = 0;     // channels in the file
  int channel = 0;      // channel taken
  long long frames = 0; // frames in the file
  bool resampled = false;
};

// Reads `path`. A mono file gives its only channel; a file with several channels needs `channel` >= 0 (the
// channel to take, from 0), a negative `channel` refuses it. Any rate is converted to `rateHz`. The samples
// are scaled to the 16-bit range, rounded and clipped to -32768 .. 32767, as the array delivers them.
// On failure returns false with a one-line reason (naming the file) in `error`.
bool ReadChannel(const std::string &path, int channel, int rateHz, std::vector<double> &samples, TAudioInfo &info,
                 std::string &error);

} // namespace train

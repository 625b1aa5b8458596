#pragma once
// Detection settings: the "pvcalk" (feature processor) and "detect" (classifier) groups of detect.json.
// One instance, filled by main before any engine thread starts and read-only afterwards.

#include <cstdint>
#include <string>

namespace detection {

class TDetectConfig {
public:
  bool IsDynamicNet = false;
  std::string js_train_fname = "train.json";
  double border = 0.001;
  std::int32_t M = 2;
  std::int32_t KK = 10;
  std::int32_t NN = 11;
  std::int32_t KN = 12;
  std::int32_t JJ = 12;
  std::int32_t NFFT = 1024;
  double OverlapFFT = 0.5;
  std::int32_t N_MFCC = 6;
  std::int32_t F_max = 10000; // Hz
  std::int32_t F_min = 4000;  // Hz
  std::int32_t F_mid = 100;   // Hz
  std::int32_t F_Smp = 37500; // Hz
  std::int32_t MF_Wnd = 30;

  // Reads `path` (settings directory + "detect.json"). Unopenable: one message on stderr, fields unchanged.
  // Absent keys, absent groups and values of the wrong type read as zero/false/empty.
  void ReadFromJson(const std::string &path);
};

} // namespace detection

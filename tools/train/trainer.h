#pragma once
// The trainer program: reads labelled recordings, fits the classifier's training data with the station's own
// feature processor, scores held-out recordings with the station's own classifier, recommends a border and
// writes the training file. Runs on the caller's thread; main only forwards its arguments and exit status.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace train {

struct TTrainerArgs {
  std::string settingsDir;
  std::vector<std::string> target;
  std::vector<std::string> background;
  std::vector<std::string> holdout;          // recordings (of target or background) to hold out
  std::vector<std::string> reportBackground; // extra background recordings, only scored
  std::string out;
  std::string manifest;               // cross-validated training from this recording list instead of the lists above
  int jobs = 0;                       // feature-extraction threads of the manifest run; 0: one per processor
  std::string foldDir;                // manifest run: where each fold's training file and border go (optional)
  std::optional<double> holdoutShare; // default kDefaultHoldoutShare
  std::uint32_t seed = 1;
  int nm = 16;
  int powcount = 1;
  bool signedWeights = false;
  int channel = -1; // -1: multichannel files are refused
  double maxFalseAlarm = 0.01;
  bool verbose = false;
  bool help = false;
};

inline constexpr double kDefaultHoldoutShare = 0.25;

// Parses the arguments (without the program name). Returns "" or one line describing the usage error.
std::string ParseTrainerArgs(const std::vector<std::string> &args, TTrainerArgs &a);

// Runs the whole training. The report goes to `out`, its last line one JSON object with "detection_rate",
// "false_alarm_rate", "auc" and "border"; a failure is one line on `err`. Returns the exit status: 0 done,
// 1 bad input (unreadable file, bad settings, too little data), 2 usage error. The training file is written
// (atomically) only when everything succeeded.
int RunTrainer(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace train

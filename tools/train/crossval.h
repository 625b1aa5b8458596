#pragma once
// Cross-validated training from a manifest (tools/train/manifest.h): one model per fold, fitted without the
// fold's recordings and scored on the fold's eval recordings exactly as the station would score them (the
// feature processor and classifier on each of the four channels, the n-th scores joined into records, the
// union engine's alert rule over the records); the border each fold is measured at is chosen on the other
// folds' held-out records only. A final model is then fitted on every train recording; its border is chosen
// on all folds' held-out records. Runs on the trainer's thread, with worker threads for feature extraction.

#include "tools/train/fit.h"

#include "detection/detect_config.h"
#include "detection/dtc_v2/training_res.h"

#include <array>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace train {

// What the alert rule made of one scene's records.
struct TAlertOutcome {
  std::size_t records = 0;      // result messages (records of four scores)
  std::size_t counted = 0;      // records after the first three (the first level-2 record can be the third)
  std::size_t detected = 0;     // of the counted records, those at Detected_Drone
  std::size_t events = 0;       // times the level rose to Detected_Drone
  double firstDetectedS = -1.0; // scene time of the first Detected_Drone record, s; -1: never
  double maxScore = 0.0;        // largest channel score
};

// Runs the union engine's alert rule (TDescMaker) over `records`, record n completed at `timesS[n]`.
TAlertOutcome SummariseAlerts(const std::vector<std::array<double, 4>> &records, const std::vector<double> &timesS,
                              double border);

// Scene time (s) at which score n of a channel is complete: the first score needs NN x KK feature vectors, then
// one every KK; feature vector v completes with sample NFFT + v x Hop.
double ScoreTimeS(const detection::TDetectConfig &c, int hop, std::size_t n);

struct TCrossValidationArgs {
  std::string manifestPath;
  std::string out;             // training file of the final model
  std::string foldDir;         // when set: each fold's training file (fold-K.json) and borders (borders.txt)
  double maxFalseAlarm = 0.01; // share of background records at Detected_Drone allowed at the chosen border
  int jobs = 0;                // feature-extraction threads; 0: one per processor
  bool verbose = false;
};

// The whole run; the report goes to `out` (its last line one JSON object with "border", "detection_rate",
// "false_alarm_rate" and per-category figures), a failure is one line on `err`. Returns the exit status
// (0 done, 1 bad input). The training file is written only when everything succeeded.
int RunCrossValidation(const TCrossValidationArgs &a, const detection::TDetectConfig &cfg, const TFitOptions &fit,
                       std::ostream &out, std::ostream &err);

} // namespace train

#pragma once
// Figures of merit of held-out scores: detection and false-alarm rates at a border, the area under the ROC
// curve, and the border the trainer recommends. A score counts as a detection when it is >= the border, the
// classifier's rule; the recommended border always lies strictly between two scores, so the union engine's
// strict comparison gives the same counts.

#include <cstddef>
#include <vector>

namespace train {

struct TRates {
  double detection = 0.0;  // share of target scores >= border
  double falseAlarm = 0.0; // share of background scores >= border
};

TRates RatesAt(const std::vector<double> &target, const std::vector<double> &background, double border);

// Probability that a random target score beats a random background score, ties counting one half
// (the Mann-Whitney form of the ROC area). 0.5 when either list is empty.
double RocAuc(const std::vector<double> &target, const std::vector<double> &background);

// The border with the most detections whose false-alarm share stays <= maxFalseAlarm, and among those the one
// with the fewest false alarms: midway between the lowest target score it detects and the next lower score of
// either class (above every score when no target score can pass). Requires a non-empty background list. Never
// returns a value <= 0 (a negative border would switch the station to autocalibration, and 0 would pass every
// score).
double RecommendBorder(const std::vector<double> &target, const std::vector<double> &background, double maxFalseAlarm);

} // namespace train

#pragma once
// The alert-level state of the hybrid loop: per channel the flags of its last three scores (score above the
// border, strictly; NaN is not above), and the alert level derived from them:
// 0 NO_Drone, 1 Probably_Drone, 2 Detected_Drone. Owned and called by one thread (the union engine, or an
// offline tool replaying a recording).

#include <array>
#include <bitset>

class TDescMaker {
public:
  static constexpr int kNoDrone = 0;
  static constexpr int kProbablyDrone = 1;
  static constexpr int kDetectedDrone = 2;

  // Per channel: bit 0 the latest flag, bit 1 the one before, bit 2 the one before that. All false at start.
  std::array<std::bitset<3>, 4> Hist{};
  int Level = kNoDrone; // current alert level

  // Shifts each channel's history by the new score q[k] > border, stores and returns the new alert level:
  // the largest channel level, where a channel is 2 with three flags in a row, 1 when its latest or previous
  // flag is set, else 0.
  int Update(const std::array<double, 4> &q, double border);
};

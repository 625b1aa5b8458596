#include "engines/desc_maker.h"

#include <algorithm>

int TDescMaker::Update(const std::array<double, 4> &q, double border) {
  int level = kNoDrone;
  for (std::size_t k = 0; k < Hist.size(); ++k) {
    std::bitset<3> &h = Hist[k];
    h <<= 1;              // bit 2 takes bit 1, bit 1 takes bit 0; the oldest flag drops out
    h[0] = q[k] > border; // false for NaN
    int channelLevel = kNoDrone;
    if (h.all()) {
      channelLevel = kDetectedDrone;
    } else if (h[0] || h[1]) {
      channelLevel = kProbablyDrone;
    }
    level = std::max(level, channelLevel);
  }
  Level = level;
  return Level;
}

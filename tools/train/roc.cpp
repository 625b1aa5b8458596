#include "tools/train/roc.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace train {

TRates RatesAt(const std::vector<double> &target, const std::vector<double> &background, double border) {
  auto share = [border](const std::vector<double> &s) {
    if (s.empty()) {
      return 0.0;
    }
    const auto hits = std::count_if(s.begin(), s.end(), [border](double v) { return v >= border; });
    return static_cast<double>(hits) / static_cast<double>(s.size());
  };
  return {share(target), share(background)};
}

double RocAuc(const std::vector<double> &target, const std::vector<double> &background) {
  if (target.empty() || background.empty()) {
    return 0.5;
  }
  std::vector<double> bg = background;
  std::sort(bg.begin(), bg.end());
  double wins = 0.0;
  for (double t : target) {
    const auto lower = std::lower_bound(bg.begin(), bg.end(), t);
    const auto upper = std::upper_bound(lower, bg.end(), t);
    wins += static_cast<double>(lower - bg.begin()) + 0.5 * static_cast<double>(upper - lower);
  }
  return wins / (static_cast<double>(target.size()) * static_cast<double>(background.size()));
}

double RecommendBorder(const std::vector<double> &target, const std::vector<double> &background, double maxFalseAlarm) {
  std::vector<double> bg = background;
  std::sort(bg.begin(), bg.end(), std::greater<>());
  // At most `allowed` background scores may reach the border, so it must lie above bg[allowed].
  const auto allowed = static_cast<std::size_t>(std::floor(maxFalseAlarm * static_cast<double>(bg.size()) + 1e-9));
  double below = 0.0;
  if (allowed < bg.size()) {
    below = std::max(bg[allowed], 0.0);
  }
  // Every target score above `below` is detected. Raising the border up to the lowest of them keeps those
  // detections and can only shed false alarms, so the border goes midway between that lowest detected target
  // score and the next lower score of either class: the widest margin for the same detections.
  double lowestHit = HUGE_VAL;
  for (double s : target) {
    if (s > below && s < lowestHit) {
      lowestHit = s;
    }
  }
  if (std::isinf(lowestHit)) {
    // No target score can pass: a border above every score that must stay below, with a margin.
    double above = HUGE_VAL;
    for (double s : background) {
      if (s > below && s < above) {
        above = s;
      }
    }
    if (std::isinf(above)) {
      return below > 0.0 ? below * 1.5 : 1e-6;
    }
    return below + 0.5 * (above - below);
  }
  double next = below;
  for (const std::vector<double> *list : {&target, &background}) {
    for (double s : *list) {
      if (s < lowestHit && s > next) {
        next = s;
      }
    }
  }
  return next + 0.5 * (lowestHit - next);
}

} // namespace train

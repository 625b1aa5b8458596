#pragma once
// Number formatting of the trainer's reports, shared by the simple and the cross-validated run.

#include <cstdio>
#include <string>

namespace train {

// `v` with a fixed number of decimals ("%.*f").
inline std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// A share as a percentage with one decimal ("12.5 %").
inline std::string Percent(double share) { return Fixed(100.0 * share, 1) + " %"; }

// Six significant digits ("%.6g"), for borders and scores.
inline std::string Short(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

} // namespace train

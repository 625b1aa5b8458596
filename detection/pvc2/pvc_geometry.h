#pragma once
// The fixed sizes of the feature processor derived from the "pvcalk" settings: hop, spectrum bin limits,
// the triangular bands. Derived once, at construction or by the start-up check; any thread may call it.

#include <cstdint>
#include <string>
#include <vector>

#include "detection/detect_config.h"

namespace pvc2 {

// One triangular band: weights rise from `lo` to `ctr` and fall to `hi`; bins first .. last are summed
// (empty when last < first).
struct TBand {
  std::int32_t lo = 0;
  std::int32_t hi = 0;
  std::int32_t ctr = 0;
  std::int32_t first = 0;
  std::int32_t last = -1;
};

struct TPvcGeometry {
  std::int32_t NFFT = 0;
  std::int32_t Overlap = 0;  // samples shared by successive frames
  std::int32_t Hop = 0;      // samples between frames
  std::int32_t HopsBack = 0; // earlier hops inside one frame
  std::int32_t Kmax = 0;     // spectrum bin of F_max
  std::int32_t Kmin = 0;     // spectrum bin of F_min
  std::int32_t Kmid = 0;     // spectrum bin of F_mid
  std::int32_t BandStep = 0; // bins
  std::int32_t NBins = 0;    // spectrum bins analysed after the median step
  std::vector<TBand> Bands;  // JJ - 1 bands
};

// Band edge B(m) in (fractional) spectrum bins.
double BandEdge(std::int32_t m, std::int32_t kMin, std::int32_t kMax, std::int32_t bandStep);

// Fills `g` from the settings. Returns "" when the processor can run on them, otherwise one line naming the
// offending key and value (without a file name), e.g. "\"NFFT\" 1000 must be a power of two >= 8".
std::string DeriveGeometry(const detection::TDetectConfig &c, TPvcGeometry &g);

} // namespace pvc2

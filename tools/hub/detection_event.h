#pragma once
// One detection event: the time from the alert's rise to Detected_Drone until it has stayed below for the
// close delay. Plain value; made by the event tracker, stored by the event store, sent by the web and MQTT parts.

#include "tools/hub/iso_time.h"

#include <cstdint>
#include <limits>
#include <string>

namespace hub {

struct TDetectionEvent {
  std::int64_t id = 0; // row of the event store; 0 until stored
  SysClock::time_point start{};
  SysClock::time_point end{}; // when the alert fell below Detected_Drone for good; meaningful once closed
  bool closed = false;
  int peakLevel = 0;       // highest alert level seen during the event
  double peakScore = 0.0;  // highest channel score seen during the event
  // Azimuths in degrees; NaN while none was known (the station sends null before its first direction).
  double azimuthStart = std::numeric_limits<double>::quiet_NaN();
  double azimuthMedian = std::numeric_limits<double>::quiet_NaN();
  double azimuthEnd = std::numeric_limits<double>::quiet_NaN();
};

// {"id":1,"start":"...Z","end":"...Z"|null,"peak_level":2,"peak_score":0.01,"azimuth_start":12.5|null,
//  "azimuth_median":...,"azimuth_end":...}: NaN as null, "end" null while the event is open.
std::string EventJson(const TDetectionEvent &event);

} // namespace hub

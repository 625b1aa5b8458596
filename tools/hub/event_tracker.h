#pragma once
// Turns the stream of result messages into detection events: an event opens with the first message at
// Detected_Drone (alert 2) and closes once the alert has stayed below it for the close delay (5 s), or when no
// message came for that long (the station went away). Pure: times are passed in. Owned and called by the
// hub's station thread.

#include "tools/hub/detection_event.h"

#include <chrono>
#include <vector>

namespace hub {

inline constexpr int kDetectedDrone = 2;

enum class ETrackerChange {
  None,    // no event, or the open one unchanged
  Opened,  // Current() is a new event
  Updated, // the open event's peak or azimuths changed
  Closed   // Current() has just closed (closed == true); the next Detected_Drone opens a new one
};

class TEventTracker {
public:
  explicit TEventTracker(std::chrono::milliseconds closeAfter = std::chrono::seconds(5));

  // One result message received at `t`. `alert` as sent: 0..2 in the hybrid mode; the no-array (-1) and
  // autocalibration (-2) markers count as below Detected_Drone. `dots`: the channel scores; `azimuthDeg`:
  // the message's direction, NaN when the station sent none.
  ETrackerChange OnResult(SysClock::time_point t, int alert, const std::vector<double> &dots, double azimuthDeg);

  // Time passing without messages: closes the open event when the close delay has run out.
  ETrackerChange Tick(SysClock::time_point now);

  bool IsOpen() const;
  // The open event, or the one closed last (all-default before the first event).
  const TDetectionEvent &Current() const;

private:
  std::chrono::milliseconds closeAfter_;
  TDetectionEvent current_;
  bool open_ = false;
  // ... implementation state (azimuths seen during the event for the median, time of the fall below, etc.)
};

} // namespace hub

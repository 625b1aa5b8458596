#pragma once
// Turns the stream of result messages into detection events: an event opens with the first message at
// Detected_Drone (alert 2) and closes once the alert has stayed below it for the close delay (5 s), or when no
// message came for that long (the station went away). Pure: times are passed in. Owned and called by the
// hub's station thread.

#include "tools/hub/detection_event.h"

#include <chrono>
#include <cstddef>
#include <optional>
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

  // Time passing without messages: closes the open event when the close delay has run out. It ends where the
  // alert fell below Detected_Drone, or, when messages stopped while at Detected_Drone, at the last message.
  ETrackerChange Tick(SysClock::time_point now);

  bool IsOpen() const;
  // The open event, or the one closed last (all-default before the first event).
  const TDetectionEvent &Current() const;

private:
  // What the tracker keeps of one result message.
  struct TSample {
    SysClock::time_point t{};
    int alert = 0;
    double score = 0.0;      // highest finite channel score; NaN: none
    double azimuthDeg = 0.0; // in [0, 360); NaN: none
  };

  // Caps the azimuths kept for the median (32 KiB), however long the event lasts.
  static constexpr std::size_t kMaxAzimuths = 4096;

  void Open(const TSample &m);
  void Detected(const TSample &m);
  void Below(const TSample &m);
  // Whether the open event has run out by `t`; its end time in `end`.
  bool Expired(SysClock::time_point t, SysClock::time_point &end) const;
  void Close(SysClock::time_point end);
  void AddAzimuth(double azimuthDeg);
  void UpdateMedian();

  std::chrono::milliseconds closeAfter_;
  TDetectionEvent current_;
  bool open_ = false;
  bool anyMessage_ = false;
  SysClock::time_point last_{}; // time of the latest message (never goes backwards)
  bool below_ = false;          // the open event's alert is below Detected_Drone since current_.end
  bool anyScore_ = false;       // current_.peakScore holds a real channel score
  // What the messages of the current stretch below carried; they count for the event once the alert returns.
  double belowScore_ = 0.0;        // NaN: none
  double belowFirstAzimuth_ = 0.0; // NaN: none
  // A message at Detected_Drone that came in the same call that closed the previous event: it opens the next
  // event on the following call, so that the closed one is reported (and stored) first.
  std::optional<TSample> pending_;
  // Median of the azimuths at Detected_Drone: every stride_-th one is kept; when kMaxAzimuths are kept, every
  // other one is dropped and the stride doubles, so the kept ones stay evenly spread over the whole event.
  std::vector<double> azimuths_;
  std::vector<double> scratch_; // the unwrapped copy the median is taken from
  std::size_t stride_ = 1;
  std::size_t seen_ = 0; // azimuths at Detected_Drone offered during the event
  double sumSin_ = 0.0;  // over azimuths_, for their circular mean
  double sumCos_ = 0.0;
};

} // namespace hub

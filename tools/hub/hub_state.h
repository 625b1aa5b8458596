#pragma once
// What the hub knows about its station at one moment, and the texts made from it: the status document, the
// Prometheus metrics and the live-stream events. THubState is written by the hub's station thread and read by
// the HTTP threads (its own lock); the text functions are pure.

#include "tools/hub/iso_time.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hub {

using SteadyClock = std::chrono::steady_clock;

// Name of an alert value as the station sends it: 0..2 the levels, -1 the no-array test message, -2 the
// autocalibration mode.
std::string AlertName(int alert);
// "hybrid", "no_array", "autocalibration" or "unknown" (no message yet, or a value the station never sends).
std::string ModeName(bool haveResult, int alert);

struct TStatusSnapshot {
  std::string id;
  bool resultUp = false;   // connected to the result port
  bool spectrumUp = false; // connected to the spectrum port
  bool haveResult = false; // a result came since the hub started
  int alert = 0;
  double brd = 0.0;
  std::vector<double> dots;
  double azimuthDeg = std::numeric_limits<double>::quiet_NaN();
  SteadyClock::time_point lastMessage{}; // of the latest result
  std::uint64_t messages = 0;            // results received
  std::uint64_t spectra = 0;             // spectrum frames received
  std::uint64_t badFrames = 0;
  std::uint64_t connects = 0;    // result connections made, the first included
  std::uint64_t detections = 0;  // events opened by this run
  std::int64_t eventsStored = 0; // rows of the event store
  int liveClients = 0;           // open /events streams
  bool mqttConfigured = false;
  bool mqttConnected = false;
  std::uint64_t mqttReconnects = 0;
};

// Age of the latest result in seconds, NaN before the first.
double LastMessageAgeS(const TStatusSnapshot &s, SteadyClock::time_point now);

// {"station":"connected"|"disconnected","spectrum":...,"id":...,"alert":2|null,"alert_name":...,
//  "azimuth":x|null,"dots":[...],"brd":x|null,"last_message_age_s":x|null,"mode":...,"t":"...Z"}
std::string StatusJson(const TStatusSnapshot &s, SteadyClock::time_point now, SysClock::time_point wallNow);

// Prometheus text exposition format, version 0.0.4.
std::string MetricsText(const TStatusSnapshot &s, SteadyClock::time_point now);

// The station's result text with "t" appended (an object's closing brace replaced); the text was checked by
// the station link already.
std::string ResultEventJson(std::string_view stationText, SysClock::time_point t);

// {"t":"...Z","first_hz":4000.0,"bin_hz":15.625,"levels":[-62.25,...]}: levels to 0.01 dB, -inf and NaN as null.
std::string SpectrumEventJson(const std::vector<float> &levels, double firstHz, double binHz, SysClock::time_point t);

// One Server-Sent Events message: "event: NAME\ndata: DATA\n\n" (DATA is one line of JSON).
std::string SseMessage(std::string_view name, std::string_view data);

class THubState {
public:
  explicit THubState(std::string id);
  template <class F> void Update(F &&change) {
    const std::lock_guard<std::mutex> lock(mutex_);
    change(snapshot_);
  }
  TStatusSnapshot Snapshot() const;

private:
  mutable std::mutex mutex_;
  TStatusSnapshot snapshot_;
};

} // namespace hub

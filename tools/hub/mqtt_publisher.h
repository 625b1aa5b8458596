#pragma once
// Publishes the station's state and its detection events to an MQTT broker (libmosquitto), with Home
// Assistant discovery messages, and survives the broker going away (libmosquitto's own network thread
// reconnects). Publish* are called by the hub's station thread; the callbacks run on libmosquitto's thread.

#include "tools/hub/detection_event.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hub {

// What the retained state topic carries.
struct TMqttState {
  int alert = 0;
  double brd = 0.0;
  std::vector<double> dots;
  double azimuthDeg = 0.0; // NaN: none known
  SysClock::time_point t{};
};

// Decides when a state message goes out: at once on a level change, otherwise at most once per interval.
// Pure; owned by the publisher's caller thread.
class TStateThrottle {
public:
  explicit TStateThrottle(std::chrono::milliseconds interval = std::chrono::seconds(1));
  bool ShouldPublish(int alert, std::chrono::steady_clock::time_point now);

private:
  std::chrono::milliseconds interval_;
  bool any_ = false;
  int lastAlert_ = 0;
  std::chrono::steady_clock::time_point lastSent_{};
};

// Texts of the messages (pure, tested on their own).
std::string MqttStateJson(const TMqttState &state);                 // {"alert":2,"alert_name":"Detected_Drone",...}
std::string MqttEventJson(const TDetectionEvent &event, bool open); // {"state":"open"|"closed", ...EventJson}

class TMqttPublisher {
public:
  // `report`: one line for the operator (connected, lost, refused), called from libmosquitto's thread.
  TMqttPublisher(std::string host, int port, std::string id, std::function<void(const std::string &)> report);
  ~TMqttPublisher(); // Stop()
  TMqttPublisher(const TMqttPublisher &) = delete;
  TMqttPublisher &operator=(const TMqttPublisher &) = delete;

  // Starts the network thread. A broker that is not up yet is not an error: it is tried again and again.
  // False and `error` only for what cannot get better (bad host name, library failure).
  bool Start(std::string &error);
  void Stop();

  // Topic ormelin/ID/state, retained, QoS 1. The caller applies TStateThrottle.
  void PublishState(const TMqttState &state);
  // Topic ormelin/ID/event, not retained, QoS 1.
  void PublishEvent(const TDetectionEvent &event, bool open);

  bool Connected() const;
  std::uint64_t Reconnects() const; // connections made after the first

private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

} // namespace hub

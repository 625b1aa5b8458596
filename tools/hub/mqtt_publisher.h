#pragma once
// Publishes the station's state and its detection events to an MQTT broker (libmosquitto), with Home
// Assistant discovery messages, and survives the broker going away (the publisher's network thread reconnects
// with a growing pause, 1 s to 30 s). Publish* are called by the hub's station thread; libmosquitto's callbacks
// run on the network thread.

#include "tools/hub/detection_event.h"

#include <atomic>
#include <chrono>
#include <cstddef>
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

// The station id as it appears in topics, in the client id "ormelin-hub-ID" and in Home Assistant's node id
// "ormelin_ID": letters, digits, '-' and '_' stay, every other byte (MQTT's wildcards '+' and '#', the level
// separator '/', spaces, dots, non-ASCII) becomes '_', and it is cut to 64 characters: "hall 1/#" -> "hall_1__".
std::string MqttTopicId(const std::string &id);

// The hub's MQTT client for one broker. Topics, with ID = MqttTopicId(id):
//   ormelin/ID/state         MqttStateJson, retained, QoS 1
//   ormelin/ID/event         MqttEventJson, QoS 1
//   ormelin/ID/availability  "online" retained on each connect; "offline" retained on Stop and as the last will
//   homeassistant/binary_sensor/ormelin_ID/drone/config, homeassistant/sensor/ormelin_ID/azimuth/config
//                            Home Assistant discovery, retained, sent again on each connect
// While the broker is away nothing is handed to libmosquitto: the latest state is kept and sent once connected,
// events are kept up to kMaxQueuedEvents (the oldest dropped, with one report line). Only until a dead link is
// noticed (by the 15 s keepalive, within about 1.5 x 15 s when the network fails silently) does libmosquitto hold
// what was published meanwhile, and it may send that again after the reconnect.
// Publish*, Start and Stop are called by one thread (the hub's station thread); Connected and Reconnects by any.
class TMqttPublisher {
public:
  static constexpr std::size_t kMaxQueuedEvents = 100;

  // `report`: one line for the operator (connected, lost, refused, not reachable, events dropped), once per change
  // and not on every retry; called from the network thread, and from Start when the broker is not up yet. It
  // must not call back into the publisher. `id` is sanitised with MqttTopicId.
  TMqttPublisher(std::string host, int port, std::string id, std::function<void(const std::string &)> report);
  ~TMqttPublisher(); // Stop()
  TMqttPublisher(const TMqttPublisher &) = delete;
  TMqttPublisher &operator=(const TMqttPublisher &) = delete;

  // Starts the network thread. A broker that is not up yet is not an error: it is tried again and again.
  // False and `error` only for what cannot get better (empty host or id, port outside 1..65535, bad host name,
  // library failure, already started). Stop sends "offline", disconnects and joins the network thread; Start may
  // be called again after it.
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

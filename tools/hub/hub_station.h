#pragma once
// The hub's side of the station: one thread that holds the station link and turns what arrives into the hub
// state, the live stream, detection events (stored and published) and MQTT state. It also keeps time: once a
// second it closes events whose delay ran out, sends a status message to the live stream and prunes old
// events once an hour. Start and Stop: the main thread; everything else runs on the owned thread.

#include "tools/hub/event_store.h"
#include "tools/hub/event_tracker.h"
#include "tools/hub/hub_state.h"
#include "tools/hub/mqtt_publisher.h"
#include "tools/hub/sse_broadcast.h"
#include "tools/station_client/station_link.h"

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace hub {

struct TStationConfig {
  std::string host;
  int jsonPort = 33377;
  int spectrPort = 33399;
  double firstHz = 4000.0; // frequency of the first spectrum level (the station's F_min rounded down to a bin)
  int keepDays = 90;
};

class THubStation final : public station_client::TStationLinkSink {
public:
  // `mqtt` may be null (no broker). `report` writes one operator line; called on the station thread.
  THubStation(TStationConfig config, THubState &state, TSseBroadcast &broadcast, TEventStore &store,
              TMqttPublisher *mqtt, std::function<void(const std::string &)> report);
  ~THubStation() override; // Stop()
  THubStation(const THubStation &) = delete;
  THubStation &operator=(const THubStation &) = delete;

  bool Start(std::string &error);
  // Wakes the thread, closes an open event (ending it at its last message, so that it is not left open on
  // disk) and joins.
  void Stop();

private:
  void Run();
  void OnLinkReport(const std::string &line) override;
  void OnConnectionChange(bool resultUp, bool spectrumUp) override;
  void OnResult(std::string_view text, const station_client::TResultMessage &message,
                station_client::Clock::time_point now) override;
  void OnSpectrum(const std::vector<float> &levels, station_client::Clock::time_point now) override;
  void OnBadFrame(station_client::EPort port, const std::string &line) override;
  void EventChanged(ETrackerChange change, bool force);
  void EverySecond(SteadyClock::time_point now);

  TStationConfig config_;
  THubState &state_;
  TSseBroadcast &broadcast_;
  TEventStore &store_;
  TMqttPublisher *mqtt_;
  std::function<void(const std::string &)> report_;
  station_client::TStationLink link_;
  TEventTracker tracker_;
  TStateThrottle throttle_;
  station_client::TFd wakeFd_; // eventfd written by Stop, read by the station thread
  std::thread thread_;
  SteadyClock::time_point lastSaved_{};
  SteadyClock::time_point lastPrune_{};
  bool dirty_ = false;       // the open event changed since it was last saved
  std::int64_t eventId_ = 0; // store row of the current event; 0 until saved
  std::string lastStoreError_;
};

} // namespace hub

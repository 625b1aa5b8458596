#include "tools/hub/hub_station.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

namespace hub {

namespace {

using namespace std::chrono_literals;

// An open event is written to disk on open and close, and in between at most this often.
constexpr auto kSaveInterval = 5s;
constexpr auto kPruneInterval = 1h;

double Azimuth(const station_client::TResultMessage &m) {
  return m.dirs.empty() ? std::numeric_limits<double>::quiet_NaN() : m.dirs[0];
}

} // namespace

THubStation::THubStation(TStationConfig config, THubState &state, TSseBroadcast &broadcast, TEventStore &store,
                         TMqttPublisher *mqtt, std::function<void(const std::string &)> report)
    : config_(std::move(config)), state_(state), broadcast_(broadcast), store_(store), mqtt_(mqtt),
      report_(std::move(report)),
      link_(config_.host, config_.jsonPort, config_.spectrPort, station_client::TRetryPolicy{500ms, 10s}, *this) {}

THubStation::~THubStation() { Stop(); }

bool THubStation::Start(std::string &error) {
  wakeFd_ = station_client::TFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeFd_.Valid()) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  state_.Update([this](TStatusSnapshot &s) { s.eventsStored = store_.Count(); });
  thread_ = std::thread([this] { Run(); });
  return true;
}

void THubStation::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  const std::uint64_t one = 1;
  if (::write(wakeFd_.Get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
    report_(std::string("cannot wake the station thread: ") + std::strerror(errno));
  }
  thread_.join();
}

void THubStation::Run() {
  SteadyClock::time_point nextSecond = SteadyClock::now() + 1s;
  for (;;) {
    std::string error;
    const bool woken = link_.Poll(wakeFd_.Get(), nextSecond, error);
    if (!error.empty()) {
      report_(error);
      break;
    }
    if (woken) {
      break;
    }
    const SteadyClock::time_point now = SteadyClock::now();
    if (now >= nextSecond) {
      EverySecond(now);
      nextSecond = now + 1s;
    }
  }
  // An event still open when the hub stops is closed now (ending at its last message): a later run must not
  // find it open.
  if (tracker_.IsOpen()) {
    EventChanged(tracker_.Tick(SysClock::now() + std::chrono::hours(1)), true);
  }
  link_.Close();
}

void THubStation::OnLinkReport(const std::string &line) { report_("station " + line); }

void THubStation::OnConnectionChange(bool resultUp, bool spectrumUp) {
  const std::uint64_t connects = link_.Connects();
  state_.Update([&](TStatusSnapshot &s) {
    s.resultUp = resultUp;
    s.spectrumUp = spectrumUp;
    s.connects = connects;
  });
}

void THubStation::OnBadFrame(station_client::EPort, const std::string &line) {
  report_(line);
  state_.Update([](TStatusSnapshot &s) { ++s.badFrames; });
}

void THubStation::OnResult(std::string_view text, const station_client::TResultMessage &message,
                           station_client::Clock::time_point now) {
  const SysClock::time_point wall = SysClock::now();
  const double azimuth = Azimuth(message);
  state_.Update([&](TStatusSnapshot &s) {
    s.haveResult = true;
    s.alert = message.alert;
    s.brd = message.brd;
    s.dots = message.dots;
    s.azimuthDeg = azimuth;
    s.lastMessage = now;
    ++s.messages;
  });
  broadcast_.Publish(SseMessage("result", ResultEventJson(text, wall)));
  EventChanged(tracker_.OnResult(wall, message.alert, message.dots, azimuth), false);
  if (mqtt_ != nullptr && throttle_.ShouldPublish(message.alert, now)) {
    TMqttState m;
    m.alert = message.alert;
    m.brd = message.brd;
    m.dots = message.dots;
    m.azimuthDeg = azimuth;
    m.t = wall;
    mqtt_->PublishState(m);
  }
}

void THubStation::OnSpectrum(const std::vector<float> &levels, station_client::Clock::time_point) {
  state_.Update([](TStatusSnapshot &s) { ++s.spectra; });
  broadcast_.Publish(SseMessage(
      "spectrum", SpectrumEventJson(levels, config_.firstHz, station_client::kSpectrumBinHz, SysClock::now())));
}

void THubStation::EventChanged(ETrackerChange change, bool force) {
  if (change == ETrackerChange::None && !(force && dirty_)) {
    return;
  }
  const SteadyClock::time_point now = SteadyClock::now();
  if (change == ETrackerChange::Updated) {
    dirty_ = true;
  }
  const bool edge = change == ETrackerChange::Opened || change == ETrackerChange::Closed;
  if (change == ETrackerChange::Opened) {
    eventId_ = 0; // a new row
  }
  TDetectionEvent event = tracker_.Current();
  event.id = eventId_;
  if (edge || force || (dirty_ && now - lastSaved_ >= kSaveInterval)) {
    std::string error;
    if (!store_.Save(event, error)) {
      if (error != lastStoreError_) {
        report_("cannot store the detection event: " + error);
        lastStoreError_ = error;
      }
    } else {
      lastStoreError_.clear();
      eventId_ = event.id;
    }
    lastSaved_ = now;
    dirty_ = false;
  }
  if (!edge) {
    return;
  }
  const bool open = change == ETrackerChange::Opened;
  const std::int64_t stored = store_.Count();
  state_.Update([&](TStatusSnapshot &s) {
    s.eventsStored = stored;
    if (open) {
      ++s.detections;
    }
  });
  broadcast_.Publish(SseMessage("detection", MqttEventJson(event, open))); // the same document as on MQTT
  if (mqtt_ != nullptr) {
    mqtt_->PublishEvent(event, open);
  }
}

void THubStation::EverySecond(SteadyClock::time_point now) {
  EventChanged(tracker_.Tick(SysClock::now()), false);
  if (dirty_ && now - lastSaved_ >= kSaveInterval) {
    EventChanged(ETrackerChange::None, true);
  }
  if (mqtt_ != nullptr) {
    const bool connected = mqtt_->Connected();
    const std::uint64_t reconnects = mqtt_->Reconnects();
    state_.Update([&](TStatusSnapshot &s) {
      s.mqttConnected = connected;
      s.mqttReconnects = reconnects;
    });
  }
  if (lastPrune_ == SteadyClock::time_point{} || now - lastPrune_ >= kPruneInterval) {
    lastPrune_ = now;
    std::string error;
    const std::int64_t gone = store_.Prune(SysClock::now() - std::chrono::hours(24) * config_.keepDays, error);
    if (gone < 0) {
      report_("cannot prune old events: " + error);
    } else if (gone > 0) {
      report_("deleted " + std::to_string(gone) + " events older than " + std::to_string(config_.keepDays) + " days");
    }
    const std::int64_t stored = store_.Count();
    state_.Update([&](TStatusSnapshot &s) { s.eventsStored = stored; });
  }
  broadcast_.Publish(SseMessage("status", StatusJson(state_.Snapshot(), now, SysClock::now())));
}

} // namespace hub

#include "tools/hub/mqtt_publisher.h"

#include "tools/hub/hub_state.h"

#include <mosquitto.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace hub {
namespace {

using TJsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr int kKeepaliveS = 15;
// Pause before each new attempt, doubled after each failure up to the maximum, back to the minimum on success.
constexpr std::chrono::seconds kReconnectMin{1};
constexpr std::chrono::seconds kReconnectMax{30};
// The network loop's select timeout; Stop wakes it earlier through libmosquitto's internal socket pair.
constexpr int kLoopTimeoutMs = 500;
// How long Stop lets the loop write "offline" and the DISCONNECT.
constexpr std::chrono::seconds kDrainLimit{2};
constexpr int kQos = 1;
constexpr std::size_t kMaxIdChars = 64;
constexpr std::size_t kMaxPayloadBytes = 268435455; // the MQTT remaining-length limit

// The default writer refuses NaN and infinities and would leave an unfinished document behind.
void WriteNumber(TJsonWriter &w, double v) {
  if (std::isfinite(v)) {
    w.Double(v);
  } else {
    w.Null();
  }
}

void WriteString(TJsonWriter &w, const std::string &s) {
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

// The members EventJson writes, so that the dashboard's API and MQTT carry the same event shape.
// Home Assistant's MQTT discovery record for one entity of the station's device.
std::string DiscoveryJson(const std::string &id, bool binarySensor) {
  const std::string node = "ormelin_" + id;
  rapidjson::StringBuffer buffer;
  TJsonWriter w(buffer);
  w.StartObject();
  if (binarySensor) {
    w.Key("name");
    w.String("Drone detected");
    w.Key("unique_id");
    WriteString(w, node + "_drone");
    w.Key("device_class");
    w.String("sound");
    w.Key("value_template");
    w.String("{{ 'ON' if value_json.alert == 2 else 'OFF' }}");
    w.Key("payload_on");
    w.String("ON");
    w.Key("payload_off");
    w.String("OFF");
  } else {
    w.Key("name");
    w.String("Drone azimuth");
    w.Key("unique_id");
    WriteString(w, node + "_azimuth");
    w.Key("icon");
    w.String("mdi:compass-outline");
    // A null azimuth renders as "None", which Home Assistant shows as unknown.
    w.Key("value_template");
    w.String("{{ value_json.azimuth }}");
    w.Key("unit_of_measurement");
    w.String("\xC2\xB0");
    w.Key("state_class");
    w.String("measurement");
  }
  w.Key("state_topic");
  WriteString(w, "ormelin/" + id + "/state");
  w.Key("availability_topic");
  WriteString(w, "ormelin/" + id + "/availability");
  w.Key("payload_available");
  w.String("online");
  w.Key("payload_not_available");
  w.String("offline");
  w.Key("device");
  w.StartObject();
  w.Key("identifiers");
  w.StartArray();
  WriteString(w, node);
  w.EndArray();
  w.Key("name");
  WriteString(w, "Ormelin " + id);
  w.Key("manufacturer");
  w.String("Ormelin");
  w.Key("model");
  w.String("Acoustic drone detection station");
  w.EndObject();
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

// libmosquitto's texts end in a full stop; the report lines go on after them.
std::string Trimmed(const char *text) {
  std::string s = text != nullptr ? text : "unknown error";
  while (!s.empty() && (s.back() == '.' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

std::string LinkError(int rc, int err) {
  if (rc == MOSQ_ERR_ERRNO) {
    return std::error_code(err, std::generic_category()).message();
  }
  return Trimmed(mosquitto_strerror(rc));
}

// Once per process and never undone: the library stays usable until exit.
void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

struct TMosquittoDeleter {
  void operator()(mosquitto *m) const { mosquitto_destroy(m); }
};
using TMosquittoPtr = std::unique_ptr<mosquitto, TMosquittoDeleter>;

} // namespace

TStateThrottle::TStateThrottle(std::chrono::milliseconds interval) : interval_(interval) {}

bool TStateThrottle::ShouldPublish(int alert, std::chrono::steady_clock::time_point now) {
  if (any_ && alert == lastAlert_ && now - lastSent_ < interval_) {
    return false;
  }
  any_ = true;
  lastAlert_ = alert;
  lastSent_ = now;
  return true;
}

std::string MqttStateJson(const TMqttState &state) {
  rapidjson::StringBuffer buffer;
  TJsonWriter w(buffer);
  w.StartObject();
  w.Key("alert");
  w.Int(state.alert);
  w.Key("alert_name");
  const std::string name = AlertName(state.alert);
  w.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
  w.Key("azimuth");
  WriteNumber(w, state.azimuthDeg);
  w.Key("dots");
  w.StartArray();
  for (const double d : state.dots) {
    WriteNumber(w, d);
  }
  w.EndArray();
  w.Key("brd");
  WriteNumber(w, state.brd);
  w.Key("t");
  WriteString(w, IsoUtc(state.t));
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

std::string MqttEventJson(const TDetectionEvent &event, bool open) {
  // The event's own document with "state" put in front of its members.
  std::string text = EventJson(event);
  text.insert(1, open ? "\"state\":\"open\"," : "\"state\":\"closed\",");
  return text;
}

std::string MqttTopicId(const std::string &id) {
  std::string out;
  for (const char c : id) {
    if (out.size() == kMaxIdChars) {
      break;
    }
    const bool kept =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    out += kept ? c : '_';
  }
  return out;
}

// The publisher's state shared between the station thread (Start, Stop, Publish*) and the network thread (Run and
// libmosquitto's callbacks, which it calls from inside mosquitto_loop).
//
// The network thread is ours rather than mosquitto_loop_start's: libmosquitto 2.0's own thread waits for ever,
// never retrying, when the first connect attempt fails at once (a broker that is down at start-up); ours also lets
// Stop cut the pause between attempts short.
struct TMqttPublisher::TImpl {
  // What the operator was last told, so that retries do not repeat it.
  enum class TLink { kNone, kUnreachable, kUp, kLost, kRefused };
  // kSyncing: connected, availability and discovery handed over, waiting for the broker to acknowledge the last
  // of them. Only then go the state and the queued events: by that time libmosquitto has queued again whatever it
  // still held from the previous connection, so an older state it resends cannot land after the newest.
  enum class TPhase { kDown, kSyncing, kReady };

  TImpl(std::string host, int port, const std::string &id, std::function<void(const std::string &)> report)
      : host_(std::move(host)), port_(port), id_(MqttTopicId(id)), report_(std::move(report)),
        where_(host_ + ":" + std::to_string(port_)), stateTopic_("ormelin/" + id_ + "/state"),
        eventTopic_("ormelin/" + id_ + "/event"), availabilityTopic_("ormelin/" + id_ + "/availability"),
        droneTopic_("homeassistant/binary_sensor/ormelin_" + id_ + "/drone/config"),
        azimuthTopic_("homeassistant/sensor/ormelin_" + id_ + "/azimuth/config"),
        droneConfig_(DiscoveryJson(id_, true)), azimuthConfig_(DiscoveryJson(id_, false)) {}

  void Report(const std::string &line) const {
    if (report_) {
      report_(line);
    }
  }

  static int Publish(mosquitto *mosq, const std::string &topic, const std::string &payload, bool retain,
                     int *mid = nullptr) {
    if (payload.size() > kMaxPayloadBytes) {
      return MOSQ_ERR_PAYLOAD_SIZE;
    }
    return mosquitto_publish(mosq, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos, retain);
  }

  // Sends the latest state and the queued events; returns how many events were dropped meanwhile.
  std::uint64_t FinishSyncLocked(mosquitto *mosq) {
    phase_ = TPhase::kReady;
    if (hasState_) {
      Publish(mosq, stateTopic_, lastState_, true);
    }
    for (const std::string &event : events_) {
      Publish(mosq, eventTopic_, event, false);
    }
    events_.clear();
    return std::exchange(droppedEvents_, 0);
  }

  void ReportDropped(std::uint64_t dropped) const {
    if (dropped > 0) {
      Report("MQTT broker " + where_ + ": " + std::to_string(dropped) +
             " events from while it was away were dropped (the latest " + std::to_string(kMaxQueuedEvents) +
             " were kept)");
    }
  }

  void OnConnect(mosquitto *mosq, int rc) {
    if (rc != 0) {
      if (link_ != TLink::kRefused) {
        link_ = TLink::kRefused;
        Report("MQTT broker " + where_ + " refused the connection: " + Trimmed(mosquitto_connack_string(rc)) +
               "; retrying");
      }
      return;
    }
    if (stopping_.load(std::memory_order_acquire)) {
      // Stop came while this attempt was under way: leave cleanly without announcing anything.
      mosquitto_disconnect(mosq);
      return;
    }
    connectedOnce_ = true;
    connects_.fetch_add(1, std::memory_order_release);
    connected_.store(true, std::memory_order_release);
    std::uint64_t dropped = 0;
    {
      const std::lock_guard lock(mutex_);
      phase_ = TPhase::kSyncing;
      syncMid_ = -1;
      Publish(mosq, availabilityTopic_, "online", true);
      Publish(mosq, droneTopic_, droneConfig_, true);
      if (Publish(mosq, azimuthTopic_, azimuthConfig_, true, &syncMid_) != MOSQ_ERR_SUCCESS) {
        dropped = FinishSyncLocked(mosq); // no acknowledgement will come to wait for
      }
    }
    if (link_ != TLink::kUp) {
      link_ = TLink::kUp;
      Report("MQTT broker " + where_ + " connected");
    }
    ReportDropped(dropped);
  }

  void OnPublish(mosquitto *mosq, int mid) {
    std::uint64_t dropped = 0;
    {
      const std::lock_guard lock(mutex_);
      if (phase_ != TPhase::kSyncing || mid != syncMid_ || stopping_.load(std::memory_order_acquire)) {
        return;
      }
      dropped = FinishSyncLocked(mosq);
    }
    ReportDropped(dropped);
  }

  void OnDisconnect(int rc) {
    const int err = errno;
    connected_.store(false, std::memory_order_release);
    {
      const std::lock_guard lock(mutex_);
      phase_ = TPhase::kDown;
    }
    if (rc != 0) {
      NoteDown(rc, err);
    }
  }

  // A connection lost or an attempt failed: told once per change, not on every retry.
  void NoteDown(int rc, int err) {
    if (stopping_.load(std::memory_order_acquire)) {
      return;
    }
    if (link_ == TLink::kUp) {
      link_ = TLink::kLost;
      Report("MQTT broker " + where_ + " lost: " + LinkError(rc, err) + "; reconnecting");
    } else if (link_ == TLink::kNone) {
      link_ = TLink::kUnreachable;
      Report("MQTT broker " + where_ + " not reachable: " + LinkError(rc, err) + "; retrying");
    }
  }

  // The network thread: runs libmosquitto's loop, and after a loss or a failed attempt waits and tries again.
  void Run(mosquitto *mosq) {
    std::chrono::seconds pause = kReconnectMin;
    std::chrono::steady_clock::time_point drainUntil{};
    bool draining = false;
    for (;;) {
      const int rc = mosquitto_loop(mosq, kLoopTimeoutMs, 1);
      if (stopping_.load(std::memory_order_acquire)) {
        // Stop has queued "offline" and the DISCONNECT; the socket closes once they are written.
        const auto now = std::chrono::steady_clock::now();
        if (!draining) {
          draining = true;
          drainUntil = now + kDrainLimit;
        }
        if (rc != MOSQ_ERR_SUCCESS || now > drainUntil) {
          return;
        }
        continue;
      }
      if (connectedOnce_) {
        connectedOnce_ = false;
        pause = kReconnectMin;
      }
      if (rc == MOSQ_ERR_SUCCESS) {
        continue;
      }
      {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, pause, [&] { return stopping_.load(std::memory_order_acquire); })) {
          continue; // one more turn sends the DISCONNECT if a connection came up meanwhile
        }
      }
      pause = std::min(pause * 2, kReconnectMax);
      const int again = mosquitto_reconnect_async(mosq);
      if (again != MOSQ_ERR_SUCCESS) {
        NoteDown(again, errno);
      }
    }
  }

  static void OnConnectCb(mosquitto *mosq, void *obj, int rc) { static_cast<TImpl *>(obj)->OnConnect(mosq, rc); }
  static void OnPublishCb(mosquitto *mosq, void *obj, int mid) { static_cast<TImpl *>(obj)->OnPublish(mosq, mid); }
  static void OnDisconnectCb(mosquitto *, void *obj, int rc) { static_cast<TImpl *>(obj)->OnDisconnect(rc); }

  const std::string host_;
  const int port_;
  const std::string id_;
  const std::function<void(const std::string &)> report_;
  const std::string where_;
  const std::string stateTopic_, eventTopic_, availabilityTopic_, droneTopic_, azimuthTopic_;
  const std::string droneConfig_, azimuthConfig_;

  TMosquittoPtr mosq_; // set and reset by Start and Stop; the callbacks use the handle they are given
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> connects_{0};
  // Written by Start before the network thread runs, then by that thread only.
  TLink link_ = TLink::kNone;
  bool connectedOnce_ = false; // a connection came up since Run last reset its pause
  std::thread thread_;         // the network thread, started by Start and joined by Stop

  std::mutex mutex_;             // guards the members below
  std::condition_variable wake_; // Stop cuts the pause between attempts short
  TPhase phase_ = TPhase::kDown;
  int syncMid_ = -1;
  std::string lastState_;
  bool hasState_ = false;
  std::deque<std::string> events_; // at most kMaxQueuedEvents, oldest first
  std::uint64_t droppedEvents_ = 0;
};

TMqttPublisher::TMqttPublisher(std::string host, int port, std::string id,
                               std::function<void(const std::string &)> report)
    : impl_(std::make_unique<TImpl>(std::move(host), port, id, std::move(report))) {}

TMqttPublisher::~TMqttPublisher() { Stop(); }

bool TMqttPublisher::Start(std::string &error) {
  TImpl &m = *impl_;
  if (m.mosq_) {
    error = "MQTT publisher for " + m.where_ + " is already started";
    return false;
  }
  if (m.host_.empty()) {
    error = "MQTT broker host is empty";
    return false;
  }
  if (m.port_ < 1 || m.port_ > 65535) {
    error = "MQTT broker port " + std::to_string(m.port_) + " is outside 1..65535";
    return false;
  }
  if (m.id_.empty()) {
    error = "MQTT station id is empty";
    return false;
  }
  InitLibraryOnce();
  const std::string clientId = "ormelin-hub-" + m.id_;
  TMosquittoPtr mosq(mosquitto_new(clientId.c_str(), true, &m));
  if (!mosq) {
    error = "MQTT: cannot create a client: " + std::error_code(errno, std::generic_category()).message();
    return false;
  }
  mosquitto_connect_callback_set(mosq.get(), &TImpl::OnConnectCb);
  mosquitto_disconnect_callback_set(mosq.get(), &TImpl::OnDisconnectCb);
  mosquitto_publish_callback_set(mosq.get(), &TImpl::OnPublishCb);
  // The station thread publishes while the network thread runs the loop: packets are only queued here.
  mosquitto_threaded_set(mosq.get(), true);
  const char offline[] = "offline";
  int rc = mosquitto_will_set(mosq.get(), m.availabilityTopic_.c_str(), sizeof offline - 1, offline, kQos, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "MQTT: cannot set the last will: " + Trimmed(mosquitto_strerror(rc));
    return false;
  }
  m.stopping_.store(false, std::memory_order_release);
  m.link_ = TImpl::TLink::kNone;
  m.connectedOnce_ = false;
  {
    const std::lock_guard lock(m.mutex_);
    m.phase_ = TImpl::TPhase::kDown;
  }
  rc = mosquitto_connect_async(mosq.get(), m.host_.c_str(), m.port_, kKeepaliveS);
  const int err = errno;
  if (rc == MOSQ_ERR_ERRNO) {
    // Refused or unreachable for now: the network thread tries again after its first pause.
    m.link_ = TImpl::TLink::kUnreachable;
    m.Report("MQTT broker " + m.where_ + " not reachable: " + LinkError(rc, err) + "; retrying");
  } else if (rc == MOSQ_ERR_EAI) {
    error = "MQTT broker " + m.where_ + ": cannot resolve the host name (" + gai_strerror(err) + ")";
    return false;
  } else if (rc != MOSQ_ERR_SUCCESS) {
    error = "MQTT broker " + m.where_ + ": " + LinkError(rc, err);
    return false;
  }
  m.mosq_ = std::move(mosq);
  m.thread_ = std::thread([&m, handle = m.mosq_.get()] { m.Run(handle); });
  return true;
}

void TMqttPublisher::Stop() {
  TImpl &m = *impl_;
  if (!m.mosq_) {
    return;
  }
  {
    const std::lock_guard lock(m.mutex_);
    m.stopping_.store(true, std::memory_order_release);
    // A clean disconnect suppresses the will, so the station says it itself; it goes out before the DISCONNECT.
    if (m.phase_ != TImpl::TPhase::kDown) {
      TImpl::Publish(m.mosq_.get(), m.availabilityTopic_, "offline", true);
    }
  }
  mosquitto_disconnect(m.mosq_.get());
  m.wake_.notify_all();
  m.thread_.join();
  m.mosq_.reset();
  m.connected_.store(false, std::memory_order_release);
  const std::lock_guard lock(m.mutex_);
  m.phase_ = TImpl::TPhase::kDown;
}

void TMqttPublisher::PublishState(const TMqttState &state) {
  TImpl &m = *impl_;
  std::string payload = MqttStateJson(state);
  const std::lock_guard lock(m.mutex_);
  m.lastState_ = std::move(payload);
  m.hasState_ = true;
  if (m.phase_ == TImpl::TPhase::kReady && m.mosq_) {
    TImpl::Publish(m.mosq_.get(), m.stateTopic_, m.lastState_, true);
  }
}

void TMqttPublisher::PublishEvent(const TDetectionEvent &event, bool open) {
  TImpl &m = *impl_;
  std::string payload = MqttEventJson(event, open);
  const std::lock_guard lock(m.mutex_);
  if (m.phase_ == TImpl::TPhase::kReady && m.mosq_) {
    TImpl::Publish(m.mosq_.get(), m.eventTopic_, payload, false);
    return;
  }
  m.events_.push_back(std::move(payload));
  if (m.events_.size() > kMaxQueuedEvents) {
    m.events_.pop_front();
    ++m.droppedEvents_;
  }
}

bool TMqttPublisher::Connected() const { return impl_->connected_.load(std::memory_order_acquire); }

std::uint64_t TMqttPublisher::Reconnects() const {
  const std::uint64_t connects = impl_->connects_.load(std::memory_order_acquire);
  return connects > 0 ? connects - 1 : 0;
}

} // namespace hub

#include "tools/hub/hub_state.h"

#include <cmath>
#include <cstdio>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace hub {

namespace {

using TWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void Number(TWriter &w, double value) {
  if (std::isfinite(value)) {
    w.Double(value);
  } else {
    w.Null();
  }
}

// Prometheus wants "NaN"/"+Inf" spelled its way, and integers without a fraction read best.
std::string MetricValue(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "+Inf" : "-Inf";
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void Metric(std::string &out, const char *name, const char *type, const char *help, double value) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
  out += name;
  out += ' ';
  out += MetricValue(value);
  out += '\n';
}

} // namespace

std::string AlertName(int alert) {
  switch (alert) {
  case 0:
    return "NO_Drone";
  case 1:
    return "Probably_Drone";
  case 2:
    return "Detected_Drone";
  case -1:
    return "No_Array";
  case -2:
    return "Autocalibration";
  default:
    return "Unknown";
  }
}

std::string ModeName(bool haveResult, int alert) {
  if (!haveResult) {
    return "unknown";
  }
  if (alert >= 0 && alert <= 2) {
    return "hybrid";
  }
  if (alert == -1) {
    return "no_array";
  }
  return alert == -2 ? "autocalibration" : "unknown";
}

double LastMessageAgeS(const TStatusSnapshot &s, SteadyClock::time_point now) {
  if (!s.haveResult) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return std::max(0.0, std::chrono::duration<double>(now - s.lastMessage).count());
}

std::string StatusJson(const TStatusSnapshot &s, SteadyClock::time_point now, SysClock::time_point wallNow) {
  rapidjson::StringBuffer buffer;
  TWriter w(buffer);
  w.SetMaxDecimalPlaces(6);
  w.StartObject();
  w.Key("station");
  w.String(s.resultUp ? "connected" : "disconnected");
  w.Key("spectrum");
  w.String(s.spectrumUp ? "connected" : "disconnected");
  w.Key("id");
  w.String(s.id.c_str(), static_cast<rapidjson::SizeType>(s.id.size()));
  w.Key("alert");
  if (s.haveResult) {
    w.Int(s.alert);
  } else {
    w.Null();
  }
  w.Key("alert_name");
  const std::string name = s.haveResult ? AlertName(s.alert) : "Unknown";
  w.String(name.c_str());
  w.Key("azimuth");
  Number(w, s.haveResult ? s.azimuthDeg : std::nan(""));
  w.Key("dots");
  w.StartArray();
  for (const double d : s.dots) {
    Number(w, d);
  }
  w.EndArray();
  w.Key("brd");
  Number(w, s.haveResult ? s.brd : std::nan(""));
  w.Key("last_message_age_s");
  Number(w, LastMessageAgeS(s, now));
  w.Key("mode");
  const std::string mode = ModeName(s.haveResult, s.alert);
  w.String(mode.c_str());
  w.Key("t");
  const std::string t = IsoUtc(wallNow);
  w.String(t.c_str());
  w.EndObject();
  return buffer.GetString();
}

std::string MetricsText(const TStatusSnapshot &s, SteadyClock::time_point now) {
  std::string out;
  out.reserve(2048);
  Metric(out, "ormelin_hub_messages_total", "counter", "Result messages received from the station.",
         static_cast<double>(s.messages));
  Metric(out, "ormelin_hub_spectra_total", "counter", "Spectrum frames received from the station.",
         static_cast<double>(s.spectra));
  Metric(out, "ormelin_hub_bad_frames_total", "counter", "Frames from the station that could not be used.",
         static_cast<double>(s.badFrames));
  Metric(out, "ormelin_hub_alert_level", "gauge",
         "Latest alert: 0 NO_Drone, 1 Probably_Drone, 2 Detected_Drone, -1 no array, -2 autocalibration.",
         s.haveResult ? s.alert : std::nan(""));
  Metric(out, "ormelin_hub_azimuth_degrees", "gauge", "Latest averaged azimuth of the source.",
         s.haveResult ? s.azimuthDeg : std::nan(""));
  Metric(out, "ormelin_hub_detections_total", "counter", "Detection events opened since the hub started.",
         static_cast<double>(s.detections));
  Metric(out, "ormelin_hub_events_stored", "gauge", "Detection events kept in the event database.",
         static_cast<double>(s.eventsStored));
  Metric(out, "ormelin_hub_station_connected", "gauge", "1 while the hub holds the station's result connection.",
         s.resultUp ? 1.0 : 0.0);
  Metric(out, "ormelin_hub_spectrum_connected", "gauge", "1 while the hub holds the station's spectrum connection.",
         s.spectrumUp ? 1.0 : 0.0);
  Metric(out, "ormelin_hub_last_message_age_seconds", "gauge", "Seconds since the latest result message.",
         LastMessageAgeS(s, now));
  Metric(out, "ormelin_hub_reconnects_total", "counter", "Connections to the station's result port after the first.",
         static_cast<double>(s.connects > 0 ? s.connects - 1 : 0));
  Metric(out, "ormelin_hub_live_clients", "gauge", "Open live event streams.", s.liveClients);
  if (s.mqttConfigured) {
    Metric(out, "ormelin_hub_mqtt_connected", "gauge", "1 while the MQTT broker is connected.",
           s.mqttConnected ? 1.0 : 0.0);
    Metric(out, "ormelin_hub_mqtt_reconnects_total", "counter", "Connections to the MQTT broker after the first.",
           static_cast<double>(s.mqttReconnects));
  }
  return out;
}

std::string ResultEventJson(std::string_view stationText, SysClock::time_point t) {
  // The station writes one compact object; strip white space after it and splice "t" before its brace.
  const auto blank = [&stationText](std::size_t i) {
    const char c = stationText[i];
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
  };
  std::size_t end = stationText.size();
  while (end > 0 && blank(end - 1)) {
    --end;
  }
  std::string out;
  if (end == 0 || stationText[end - 1] != '}') {
    return out;
  }
  std::size_t body = end - 1;
  while (body > 0 && blank(body - 1)) {
    --body;
  }
  const bool emptyObject = body > 0 && stationText[body - 1] == '{';
  out.reserve(end + 40);
  for (std::size_t i = 0; i < body; ++i) {
    const char c = stationText[i];
    out += (c == '\n' || c == '\r') ? ' ' : c; // an SSE data line must not break
  }
  out += emptyObject ? "\"t\":\"" : ",\"t\":\"";
  out += IsoUtc(t);
  out += "\"}";
  return out;
}

std::string SpectrumEventJson(const std::vector<float> &levels, double firstHz, double binHz, SysClock::time_point t) {
  rapidjson::StringBuffer buffer;
  TWriter w(buffer);
  w.StartObject();
  w.Key("t");
  const std::string when = IsoUtc(t);
  w.String(when.c_str());
  w.Key("first_hz");
  w.Double(firstHz);
  w.Key("bin_hz");
  w.Double(binHz);
  w.Key("levels");
  w.SetMaxDecimalPlaces(2); // hundredths of a dB are more than any display shows
  w.StartArray();
  for (const float level : levels) {
    Number(w, static_cast<double>(level));
  }
  w.EndArray();
  w.EndObject();
  return buffer.GetString();
}

std::string SseMessage(std::string_view name, std::string_view data) {
  std::string out;
  out.reserve(name.size() + data.size() + 16);
  out += "event: ";
  out += name;
  out += "\ndata: ";
  out += data;
  out += "\n\n";
  return out;
}

THubState::THubState(std::string id) { snapshot_.id = std::move(id); }

TStatusSnapshot THubState::Snapshot() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return snapshot_;
}

} // namespace hub

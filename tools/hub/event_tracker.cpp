#include "tools/hub/event_tracker.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace hub {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRadPerDeg = std::numbers::pi / 180.0;

// The highest finite channel score; NaN when there is none.
double MaxScore(const std::vector<double> &dots) {
  double best = kNaN;
  for (const double v : dots) {
    if (std::isfinite(v) && (std::isnan(best) || v > best)) {
      best = v;
    }
  }
  return best;
}

// Degrees into [0, 360); NaN for anything not finite.
double WrapDeg(double deg) {
  if (!std::isfinite(deg)) {
    return kNaN;
  }
  double x = std::fmod(deg, 360.0);
  if (x < 0.0) {
    x += 360.0;
  }
  // -1e-20 + 360 rounds to 360.
  return x >= 360.0 ? 0.0 : x;
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool SameSummary(const TDetectionEvent &a, const TDetectionEvent &b) {
  return a.peakLevel == b.peakLevel && Same(a.peakScore, b.peakScore) && Same(a.azimuthStart, b.azimuthStart) &&
         Same(a.azimuthMedian, b.azimuthMedian) && Same(a.azimuthEnd, b.azimuthEnd);
}

// The default writer refuses NaN and infinities and would leave an unfinished document; null keeps it valid.
void WriteNumber(rapidjson::Writer<rapidjson::StringBuffer> &w, double v) {
  if (std::isfinite(v)) {
    w.Double(v);
  } else {
    w.Null();
  }
}

} // namespace

std::string EventJson(const TDetectionEvent &event) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  // Member order is what the dashboard and the MQTT consumers see; keep it.
  w.StartObject();
  w.Key("id");
  w.Int64(event.id);
  w.Key("start");
  const std::string start = IsoUtc(event.start);
  w.String(start.c_str(), static_cast<rapidjson::SizeType>(start.size()));
  w.Key("end");
  if (event.closed) {
    const std::string end = IsoUtc(event.end);
    w.String(end.c_str(), static_cast<rapidjson::SizeType>(end.size()));
  } else {
    w.Null();
  }
  w.Key("peak_level");
  w.Int(event.peakLevel);
  w.Key("peak_score");
  WriteNumber(w, event.peakScore);
  w.Key("azimuth_start");
  WriteNumber(w, event.azimuthStart);
  w.Key("azimuth_median");
  WriteNumber(w, event.azimuthMedian);
  w.Key("azimuth_end");
  WriteNumber(w, event.azimuthEnd);
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

TEventTracker::TEventTracker(std::chrono::milliseconds closeAfter)
    : closeAfter_(std::max(closeAfter, std::chrono::milliseconds(0))) {
  azimuths_.reserve(kMaxAzimuths);
  scratch_.reserve(kMaxAzimuths);
}

bool TEventTracker::IsOpen() const { return open_; }

const TDetectionEvent &TEventTracker::Current() const { return current_; }

ETrackerChange TEventTracker::OnResult(SysClock::time_point t, int alert, const std::vector<double> &dots,
                                       double azimuthDeg) {
  // A clock step back (NTP, a replay) must not make an event end before it started or reopen the delay.
  if (anyMessage_ && t < last_) {
    t = last_;
  }
  const TSample m{t, alert, MaxScore(dots), WrapDeg(azimuthDeg)};
  const bool detected = alert >= kDetectedDrone;
  bool opened = false;
  if (pending_) {
    // The delay is not checked against this message: the pending event was only just reported, and a second
    // close in the same step would hide its opening. The hub ticks every second, so such a gap is never this
    // long in practice.
    const TSample p = *pending_;
    pending_.reset();
    Open(p);
    opened = true;
  } else if (open_) {
    SysClock::time_point end{};
    if (Expired(t, end)) {
      Close(end);
      if (detected) {
        pending_ = m;
      }
      last_ = t;
      return ETrackerChange::Closed;
    }
  }
  anyMessage_ = true;
  last_ = t;
  if (!open_) {
    if (!detected) {
      return ETrackerChange::None;
    }
    Open(m);
    return ETrackerChange::Opened;
  }
  const TDetectionEvent before = current_;
  if (detected) {
    Detected(m);
  } else {
    Below(m);
  }
  if (opened) {
    return ETrackerChange::Opened;
  }
  return SameSummary(before, current_) ? ETrackerChange::None : ETrackerChange::Updated;
}

ETrackerChange TEventTracker::Tick(SysClock::time_point now) {
  if (pending_) {
    const TSample p = *pending_;
    pending_.reset();
    Open(p);
    return ETrackerChange::Opened;
  }
  SysClock::time_point end{};
  if (open_ && Expired(now, end)) {
    Close(end);
    return ETrackerChange::Closed;
  }
  return ETrackerChange::None;
}

void TEventTracker::Open(const TSample &m) {
  current_ = TDetectionEvent{};
  current_.start = m.t;
  open_ = true;
  below_ = false;
  anyScore_ = false;
  azimuths_.clear();
  stride_ = 1;
  seen_ = 0;
  sumSin_ = 0.0;
  sumCos_ = 0.0;
  Detected(m);
}

void TEventTracker::Detected(const TSample &m) {
  const auto mergeScore = [this](double s) {
    if (!std::isnan(s) && (!anyScore_ || s > current_.peakScore)) {
      current_.peakScore = s;
      anyScore_ = true;
    }
  };
  if (below_) {
    // Back within the delay: the stretch below belongs to the event after all.
    below_ = false;
    current_.end = {};
    mergeScore(belowScore_);
    if (std::isnan(current_.azimuthStart)) {
      current_.azimuthStart = belowFirstAzimuth_;
    }
  }
  current_.peakLevel = std::max(current_.peakLevel, m.alert);
  mergeScore(m.score);
  if (!std::isnan(m.azimuthDeg)) {
    if (std::isnan(current_.azimuthStart)) {
      current_.azimuthStart = m.azimuthDeg;
    }
    current_.azimuthEnd = m.azimuthDeg;
    AddAzimuth(m.azimuthDeg);
  }
}

void TEventTracker::Below(const TSample &m) {
  if (!below_) {
    below_ = true;
    current_.end = m.t;
    belowScore_ = kNaN;
    belowFirstAzimuth_ = kNaN;
  }
  if (!std::isnan(m.score) && (std::isnan(belowScore_) || m.score > belowScore_)) {
    belowScore_ = m.score;
  }
  if (std::isnan(belowFirstAzimuth_)) {
    belowFirstAzimuth_ = m.azimuthDeg;
  }
}

// Below Detected_Drone the event ends where the alert fell. When messages stop altogether while at
// Detected_Drone, it ends at the last message: that is when the silence began, the last moment the station is
// known to have heard the drone.
bool TEventTracker::Expired(SysClock::time_point t, SysClock::time_point &end) const {
  end = below_ ? current_.end : last_;
  return t - end >= closeAfter_;
}

void TEventTracker::Close(SysClock::time_point end) {
  current_.end = end;
  current_.closed = true;
  open_ = false;
  below_ = false;
}

void TEventTracker::AddAzimuth(double azimuthDeg) {
  const std::size_t index = seen_++;
  if (index % stride_ != 0) {
    return;
  }
  if (azimuths_.size() == kMaxAzimuths) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < azimuths_.size(); i += 2) {
      azimuths_[kept++] = azimuths_[i];
    }
    azimuths_.resize(kept);
    stride_ *= 2;
    sumSin_ = 0.0;
    sumCos_ = 0.0;
    for (const double a : azimuths_) {
      sumSin_ += std::sin(a * kRadPerDeg);
      sumCos_ += std::cos(a * kRadPerDeg);
    }
    if (index % stride_ != 0) {
      UpdateMedian();
      return;
    }
  }
  azimuths_.push_back(azimuthDeg);
  sumSin_ += std::sin(azimuthDeg * kRadPerDeg);
  sumCos_ += std::cos(azimuthDeg * kRadPerDeg);
  UpdateMedian();
}

// A median on the circle: every azimuth is taken to within 180 degrees of the circular mean, so that 359 and 1
// are neighbours, and the ordinary median of those is wrapped back into [0, 360).
void TEventTracker::UpdateMedian() {
  if (azimuths_.empty()) {
    current_.azimuthMedian = kNaN;
    return;
  }
  // atan2(0, 0) is 0: with directions spread evenly all round, north is as good a centre as any.
  const double meanDeg = std::atan2(sumSin_, sumCos_) / kRadPerDeg;
  scratch_.clear();
  for (const double a : azimuths_) {
    double d = std::fmod(a - meanDeg, 360.0);
    if (d > 180.0) {
      d -= 360.0;
    } else if (d <= -180.0) {
      d += 360.0;
    }
    scratch_.push_back(meanDeg + d);
  }
  const std::size_t mid = scratch_.size() / 2;
  const auto midIt = scratch_.begin() + static_cast<std::ptrdiff_t>(mid);
  std::nth_element(scratch_.begin(), midIt, scratch_.end());
  double median = *midIt;
  if (scratch_.size() % 2 == 0) {
    median = 0.5 * (median + *std::max_element(scratch_.begin(), midIt));
  }
  current_.azimuthMedian = WrapDeg(median);
}

} // namespace hub

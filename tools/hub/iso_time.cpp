#include "tools/hub/iso_time.h"

#include <cstdint>
#include <cstdio>

namespace hub {

namespace {

using std::chrono::milliseconds;

// Reads exactly `count` decimal digits at `pos` (no sign, no spaces) and moves past them.
bool Digits(std::string_view text, std::size_t &pos, int count, int &out) {
  if (pos + static_cast<std::size_t>(count) > text.size()) {
    return false;
  }
  int value = 0;
  for (int i = 0; i < count; ++i) {
    const char c = text[pos + static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  pos += static_cast<std::size_t>(count);
  out = value;
  return true;
}

bool Char(std::string_view text, std::size_t &pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// The zone after the time, as minutes east of UTC; the whole rest of the text must be the zone.
bool Zone(std::string_view text, std::size_t pos, int &offsetMin) {
  offsetMin = 0;
  if (pos == text.size()) {
    return true;
  }
  if (text[pos] == 'Z') {
    return pos + 1 == text.size();
  }
  if (text[pos] != '+' && text[pos] != '-') {
    return false;
  }
  const int sign = text[pos] == '-' ? -1 : 1;
  ++pos;
  int hh = 0;
  int mm = 0;
  if (!Digits(text, pos, 2, hh)) {
    return false;
  }
  Char(text, pos, ':');
  if (!Digits(text, pos, 2, mm) || pos != text.size() || hh > 23 || mm > 59) {
    return false;
  }
  offsetMin = sign * (hh * 60 + mm);
  return true;
}

} // namespace

std::string IsoUtc(SysClock::time_point t) {
  // floor, not truncation: a time before 1970 still falls in the right second.
  const auto ms = std::chrono::floor<milliseconds>(t);
  const auto day = std::chrono::floor<std::chrono::days>(ms);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss<milliseconds> hms{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()), static_cast<int>(hms.subseconds().count()));
  return text;
}

bool ParseIsoUtc(std::string_view text, SysClock::time_point &out) {
  std::size_t pos = 0;
  int y = 0;
  int mo = 0;
  int d = 0;
  if (!Digits(text, pos, 4, y) || !Char(text, pos, '-') || !Digits(text, pos, 2, mo) || !Char(text, pos, '-') ||
      !Digits(text, pos, 2, d)) {
    return false;
  }
  const std::chrono::year_month_day ymd{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(mo)},
                                        std::chrono::day{static_cast<unsigned>(d)}};
  if (!ymd.ok()) {
    return false;
  }
  int h = 0;
  int mi = 0;
  int s = 0;
  std::int64_t fracMs = 0;
  int offsetMin = 0;
  if (pos < text.size()) {
    if (!Char(text, pos, 'T') || !Digits(text, pos, 2, h) || !Char(text, pos, ':') || !Digits(text, pos, 2, mi) ||
        !Char(text, pos, ':') || !Digits(text, pos, 2, s) || h > 23 || mi > 59 || s > 59) {
      return false;
    }
    if (Char(text, pos, '.')) {
      // Any number of digits; the first three are the milliseconds, the rest are dropped (not rounded, so that
      // .9999 stays in its second).
      int digits = 0;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (digits < 3) {
          fracMs = fracMs * 10 + (text[pos] - '0');
        }
        ++digits;
        ++pos;
      }
      if (digits == 0) {
        return false;
      }
      for (int i = digits; i < 3; ++i) {
        fracMs *= 10;
      }
    }
    if (!Zone(text, pos, offsetMin)) {
      return false;
    }
  }
  // In milliseconds first: years up to 9999 fit in 64 bits there, but not all of them in the clock's nanoseconds.
  const std::int64_t dayCount = std::chrono::sys_days{ymd}.time_since_epoch().count();
  const std::int64_t totalMs =
      ((dayCount * 24 + h) * 60 + mi - offsetMin) * 60'000 + static_cast<std::int64_t>(s) * 1000 + fracMs;
  constexpr std::int64_t kMaxMs = std::chrono::duration_cast<milliseconds>(SysClock::duration::max()).count();
  constexpr std::int64_t kMinMs = std::chrono::duration_cast<milliseconds>(SysClock::duration::min()).count();
  if (totalMs > kMaxMs || totalMs < kMinMs) {
    return false;
  }
  out = SysClock::time_point(std::chrono::duration_cast<SysClock::duration>(milliseconds(totalMs)));
  return true;
}

} // namespace hub

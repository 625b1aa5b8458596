#include "app/results_group.h"

#include <cmath>
#include <limits>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

std::int32_t SaturatingTruncate(double v) {
  constexpr auto kMin = static_cast<double>(std::numeric_limits<std::int32_t>::min());
  constexpr auto kMax = static_cast<double>(std::numeric_limits<std::int32_t>::max());
  if (std::isnan(v)) {
    return 0;
  }
  if (v <= kMin) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (v >= kMax) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(v); // truncates toward zero
}

// The default writer refuses NaN and infinities and would leave an unfinished document behind; null keeps
// every text one complete JSON object that the client can parse.
void WriteNumber(rapidjson::Writer<rapidjson::StringBuffer> &w, double v) {
  if (std::isfinite(v)) {
    w.Double(v);
  } else {
    w.Null();
  }
}

void WriteArray(rapidjson::Writer<rapidjson::StringBuffer> &w, const std::vector<double> &values) {
  w.StartArray();
  for (const double v : values) {
    WriteNumber(w, v);
  }
  w.EndArray();
}

} // namespace

TResultsGroup::TResultsGroup(std::vector<double> dots_, std::vector<double> dirs_, double alert_, double brd_)
    : dots(std::move(dots_)), dirs(std::move(dirs_)), alert(SaturatingTruncate(alert_)), brd(brd_) {}

std::string TResultsGroup::ConvToJSON_Str() const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  // The member order is part of the wire format, whatever the field order of the record.
  w.StartObject();
  w.Key("alert");
  w.Int(alert);
  w.Key("brd");
  WriteNumber(w, brd);
  w.Key("dots");
  WriteArray(w, dots);
  w.Key("dirs");
  WriteArray(w, dirs);
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

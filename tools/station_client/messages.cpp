#include "tools/station_client/messages.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

namespace station_client {

namespace {

bool ReadNumber(const rapidjson::Value &v, double &out) {
  if (v.IsNull()) {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (!v.IsNumber()) {
    return false;
  }
  out = v.GetDouble();
  return true;
}

bool ReadNumbers(const rapidjson::Value &object, const char *name, std::vector<double> &out, std::string &error) {
  const auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsArray()) {
    error = std::string("no array \"") + name + "\"";
    return false;
  }
  out.clear();
  for (const rapidjson::Value &v : it->value.GetArray()) {
    double x = 0.0;
    if (!ReadNumber(v, x)) {
      error = std::string("\"") + name + "\" holds something other than numbers";
      return false;
    }
    out.push_back(x);
  }
  return true;
}

} // namespace

bool ParseResultText(std::string_view text, TResultMessage &out, std::string &error) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError()) {
    error = std::string("invalid JSON at byte ") + std::to_string(doc.GetErrorOffset()) + ": " +
            rapidjson::GetParseError_En(doc.GetParseError());
    return false;
  }
  if (!doc.IsObject()) {
    error = "not a JSON object";
    return false;
  }
  const auto alert = doc.FindMember("alert");
  if (alert == doc.MemberEnd() || !alert->value.IsInt()) {
    error = "no integer \"alert\"";
    return false;
  }
  const auto brd = doc.FindMember("brd");
  if (brd == doc.MemberEnd() || !ReadNumber(brd->value, out.brd)) {
    error = "no number \"brd\"";
    return false;
  }
  out.alert = alert->value.GetInt();
  return ReadNumbers(doc, "dots", out.dots, error) && ReadNumbers(doc, "dirs", out.dirs, error);
}

void DecodeLevels(const std::uint8_t *bytes, std::size_t count, std::vector<float> &out) {
  static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
  out.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t *b = bytes + 4 * k;
    const std::uint32_t bits = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    out[k] = std::bit_cast<float>(bits);
  }
}

int FirstSpectrumBin(double fminHz) { return static_cast<int>(fminHz / kSpectrumBinHz); }

TSpectrumPeak FindSpectrumPeak(const std::vector<float> &levels, int firstBin) {
  TSpectrumPeak peak;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const float v = levels[k];
    if (std::isfinite(v) && (!peak.found || v > peak.db)) {
      peak.found = true;
      peak.index = k;
      peak.db = v;
    }
  }
  if (peak.found) {
    peak.hz = (firstBin + static_cast<double>(peak.index)) * kSpectrumBinHz;
  }
  return peak;
}

std::string SpectrumJsonLine(std::size_t count, const TSpectrumPeak &peak) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("spectrum");
  w.StartObject();
  w.Key("count");
  w.Uint64(count);
  w.Key("peak_hz");
  if (peak.found) {
    w.Double(peak.hz);
  } else {
    w.Null();
  }
  w.Key("peak_db");
  if (peak.found) {
    w.Double(std::round(peak.db * 100.0) / 100.0);
  } else {
    w.Null();
  }
  w.EndObject();
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

std::string ResultJsonLine(std::string_view text) {
  if (text.find_first_of("\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  doc.Accept(w);
  return {buffer.GetString(), buffer.GetSize()};
}

std::string Excerpt(std::string_view text, std::size_t maxChars) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < maxChars; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > maxChars) {
    out += "...";
  }
  return out;
}

} // namespace station_client

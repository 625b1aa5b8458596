#include "detection/dtc_v2/json_file.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include <rapidjson/istreamwrapper.h>

namespace dtc_v2::json {

bool ParseFile(const std::string &path, rapidjson::Document &doc) {
  doc.SetNull();
  std::error_code ec;
  std::ifstream in;
  // A directory opens as a stream on Linux but cannot be read: treat it as unopenable.
  if (!std::filesystem::is_directory(path, ec)) {
    in.open(path, std::ios::in | std::ios::binary);
  }
  if (!in.is_open()) {
    std::fputs("Could not open file for reading!\n", stderr);
    return false;
  }
  rapidjson::IStreamWrapper isw(in);
  // Full precision: every number reads as the nearest double, so a file written by TTrainingRes::Save
  // (shortest round-trip form) reads back bit for bit.
  doc.ParseStream<rapidjson::kParseFullPrecisionFlag>(isw);
  if (doc.HasParseError()) {
    doc.SetObject();
  }
  return true;
}

const rapidjson::Value *Find(const rapidjson::Value &obj, const char *key) {
  if (!obj.IsObject()) {
    return nullptr;
  }
  const auto it = obj.FindMember(key);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

std::optional<std::int32_t> Int(const rapidjson::Value *v) {
  if (v == nullptr || !v->IsInt()) {
    return std::nullopt;
  }
  return v->GetInt();
}

std::optional<double> Number(const rapidjson::Value *v) {
  if (v == nullptr || !v->IsNumber()) {
    return std::nullopt;
  }
  return v->GetDouble();
}

std::optional<std::int32_t> TruncatedInt(const rapidjson::Value *v) {
  const auto d = Number(v);
  if (!d) {
    return std::nullopt;
  }
  const double t = std::trunc(*d);
  // Converting a double outside the int range is undefined; such values read as absent.
  if (!(t >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        t <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(t);
}

} // namespace dtc_v2::json

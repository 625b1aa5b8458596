#include "detection/dtc_v2/training_res.h"

#include <cstdio>
#include <fstream>

#include <rapidjson/ostreamwrapper.h>
#include <rapidjson/writer.h>

#include "detection/dtc_v2/json_file.h"

namespace dtc_v2 {

namespace {

// True when `v` is an array whose elements are all numbers.
bool IsNumberArray(const rapidjson::Value &v) {
  if (!v.IsArray()) {
    return false;
  }
  for (const auto &e : v.GetArray()) {
    if (!e.IsNumber()) {
      return false;
    }
  }
  return true;
}

// "pp" and "ind": every element truncated toward zero to 32 bits. An element that is not a number or lies
// outside the 32-bit range makes the whole key read as absent, so the parallel arrays never shift apart.
void ExtractTruncatedIntArray(const char *key, const rapidjson::Document &doc, std::vector<std::int32_t> &out) {
  const rapidjson::Value *v = json::Find(doc, key);
  if (v == nullptr || !v->IsArray()) {
    return;
  }
  std::vector<std::int32_t> tmp;
  tmp.reserve(v->Size());
  for (const auto &e : v->GetArray()) {
    const auto i = json::TruncatedInt(&e);
    if (!i) {
      return;
    }
    tmp.push_back(*i);
  }
  out.insert(out.end(), tmp.begin(), tmp.end());
}

template <typename Writer> void WriteArray(Writer &wr, const char *key, const std::vector<double> &v, bool &ok) {
  wr.Key(key);
  wr.StartArray();
  for (const double d : v) {
    ok = wr.Double(d) && ok; // rapidjson refuses NaN and infinity
  }
  wr.EndArray();
}

template <typename Writer> void WriteArray(Writer &wr, const char *key, const std::vector<std::int32_t> &v) {
  wr.Key(key);
  wr.StartArray();
  for (const std::int32_t i : v) {
    wr.Int(i);
  }
  wr.EndArray();
}

} // namespace

void TTrainingRes::ExtractDoubleArray(const char *key, const rapidjson::Document &doc, std::vector<double> &out) {
  const rapidjson::Value *v = json::Find(doc, key);
  if (v == nullptr || !IsNumberArray(*v)) {
    return;
  }
  out.reserve(out.size() + v->Size());
  for (const auto &e : v->GetArray()) {
    out.push_back(e.GetDouble()); // GetDouble converts every integer kind as well
  }
}

bool TTrainingRes::Load(const std::string &path, bool isDynamicNet) {
  *this = TTrainingRes();
  rapidjson::Document doc;
  if (!json::ParseFile(path, doc)) {
    return false;
  }
  ExtractDoubleArray("maxX", doc, maxX);
  ExtractDoubleArray("minX", doc, minX);
  ExtractDoubleArray("X0", doc, X0);
  ExtractDoubleArray("x00", doc, x00);

  // "w" is read only when it is an array of arrays of numbers; a bad row makes the whole key absent.
  const rapidjson::Value *wv = json::Find(doc, "w");
  if (wv != nullptr && wv->IsArray()) {
    bool ok = true;
    for (const auto &row : wv->GetArray()) {
      ok = ok && IsNumberArray(row);
    }
    if (ok) {
      w.resize(wv->Size());
      std::size_t r = 0;
      for (const auto &row : wv->GetArray()) {
        for (const auto &e : row.GetArray()) {
          w[r].push_back(e.GetDouble());
        }
        ++r;
      }
    }
  }
  // Unsigned division as designed; with "w" or "X0" missing it cannot be formed and stays 0.
  if (!w.empty() && !X0.empty()) {
    PowCount = static_cast<std::int32_t>(w[0].size() / X0.size());
  }
  ExtractDoubleArray("aabb", doc, aabb);
  NM = json::TruncatedInt(json::Find(doc, "NM")).value_or(0);
  M = json::TruncatedInt(json::Find(doc, "M")).value_or(0);
  ExtractTruncatedIntArray("pp", doc, pp);
  ExtractTruncatedIntArray("ind", doc, ind);
  if (isDynamicNet) {
    ExtractDoubleArray("mh", doc, mh);
  }
  return true;
}

bool TTrainingRes::Save(const std::string &path) const {
  const std::string tmp = path + ".tmp";
  bool ok = true;
  {
    std::ofstream out(tmp, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) {
      return false;
    }
    rapidjson::OStreamWrapper osw(out);
    rapidjson::Writer<rapidjson::OStreamWrapper> wr(osw);
    wr.StartObject();
    WriteArray(wr, "maxX", maxX, ok);
    WriteArray(wr, "minX", minX, ok);
    WriteArray(wr, "X0", X0, ok);
    WriteArray(wr, "x00", x00, ok);
    wr.Key("w");
    wr.StartArray();
    for (const auto &row : w) {
      wr.StartArray();
      for (const double d : row) {
        ok = wr.Double(d) && ok;
      }
      wr.EndArray();
    }
    wr.EndArray();
    WriteArray(wr, "aabb", aabb, ok);
    WriteArray(wr, "pp", pp);
    WriteArray(wr, "ind", ind);
    wr.Key("NM");
    wr.Int(NM);
    wr.Key("M");
    wr.Int(M);
    if (!mh.empty()) {
      WriteArray(wr, "mh", mh, ok);
    }
    wr.EndObject();
    out << '\n';
    out.flush();
    ok = ok && wr.IsComplete() && out.good();
  }
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

} // namespace dtc_v2

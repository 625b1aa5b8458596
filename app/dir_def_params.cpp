#include "app/dir_def_params.h"

#include <cstdio>
#include <fstream>
#include <limits>

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/istreamwrapper.h>

namespace {

// Every reader looks the key up with FindMember: rapidjson's operator[] asserts on an absent member, and no
// settings file, however broken, may stop the station. A value of the wrong kind reads as an absent key.
class TKeyReader {
public:
  explicit TKeyReader(const rapidjson::Value *root) : root_(root) {}

  const rapidjson::Value *Find(const char *key) const {
    if (root_ == nullptr) {
      return nullptr;
    }
    const auto it = root_->FindMember(key);
    return it == root_->MemberEnd() ? nullptr : &it->value;
  }

  // A JSON integer that fits 32 bits, else 0.
  std::int32_t Int(const char *key) const {
    const rapidjson::Value *v = Find(key);
    return v != nullptr && v->IsInt() ? v->GetInt() : 0;
  }

  // Any JSON number as a double, else 0.0.
  double Number(const char *key) const {
    const rapidjson::Value *v = Find(key);
    return v != nullptr && v->IsNumber() ? v->GetDouble() : 0.0;
  }

  // Any JSON number truncated toward zero, saturated to the 32-bit range, else 0.
  std::int32_t TruncatedNumber(const char *key) const {
    constexpr auto kMin = static_cast<double>(std::numeric_limits<std::int32_t>::min());
    constexpr auto kMax = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    const double v = Number(key);
    if (v <= kMin) {
      return std::numeric_limits<std::int32_t>::min();
    }
    if (v >= kMax) {
      return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(v);
  }

  // Flags are integers where exactly 1 means on; the literal true reads as off.
  bool Flag(const char *key) const { return Int(key) == 1; }

  // A JSON string, copied up to its first NUL character; otherwise `target` keeps its value.
  void String(const char *key, std::string &target) const {
    const rapidjson::Value *v = Find(key);
    if (v != nullptr && v->IsString()) {
      target = v->GetString();
    }
  }

private:
  const rapidjson::Value *root_; // nullptr when the document is not an object: every key is absent
};

} // namespace

void TDirDefParams::LoadJS(const std::string &path) {
  std::ifstream file(path);
  if (!file.is_open()) {
    std::fputs("Could not open file for reading!\n", stderr);
    return;
  }
  rapidjson::Document doc;
  rapidjson::IStreamWrapper raw(file);
  // Skips a UTF-8 byte-order mark, which some editors put in front of the text.
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::IStreamWrapper> stream(raw);
  doc.ParseStream(stream);
  // A read error (a directory opens but cannot be read) is the same as a file that cannot be opened.
  if (file.bad()) {
    std::fputs("Could not open file for reading!\n", stderr);
    return;
  }
  const bool usable = !doc.HasParseError() && doc.IsObject();
  const TKeyReader keys(usable ? &doc : nullptr);

  // Only the three known activity types are taken; an absent key reads as 0, which is one of them.
  const std::int32_t act = keys.Int("CurrActType");
  if (act >= 0 && act <= 2) {
    CurrActType = act;
  }
  EnableViner = keys.Flag("EnableViner");
  OutAvgLen = keys.TruncatedNumber("OutAvgLen");
  F_flt_min = keys.Number("F_flt_min");
  F_flt_max = keys.Number("F_flt_max");
  FSampling = keys.Number("FSampling");
  VSound = keys.Number("VSound");
  SM_Disp = keys.Int("SM_Disp");
  FrameSize = keys.Int("FrameSize");
  VinerWnd = keys.Int("VinerWnd");
  FrameOverlapPercent = keys.Number("FrameOverlapPercent");
  keys.String("RecOutFolder", RecOutFolder);
  keys.String("OfflinInFolder", OfflinInFolder);
  ColorBrd = keys.Number("ColorBrd");
  PairRefine = keys.Flag("PairRefine");
  FitGate = keys.Number("FitGate");
  RobustAvg = keys.Number("RobustAvg");

  Mics.resize(4);
  for (std::size_t m = 0; m < 4; ++m) {
    const std::string prefix = "Mic" + std::string(1, static_cast<char>('1' + m));
    Mics[m].L = keys.Number((prefix + "_L").c_str());
    Mics[m].Fi = keys.Number((prefix + "_Fi").c_str());
    Mics[m].Tetta = keys.Number((prefix + "_Tetta").c_str());
  }
}

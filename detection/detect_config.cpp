#include "detection/detect_config.h"

#include "detection/dtc_v2/json_file.h"

namespace detection {

void TDetectConfig::ReadFromJson(const std::string &path) {
  rapidjson::Document doc;
  if (!dtc_v2::json::ParseFile(path, doc)) {
    return; // unopenable: every field keeps its value
  }
  namespace js = dtc_v2::json;
  // Absent groups, absent keys and values of the wrong type all read as zero / false / empty: an integer key
  // takes only a JSON integer that fits 32 bits (1024.0 is not one).
  const rapidjson::Value *pvcalk = js::Find(doc, "pvcalk");
  const rapidjson::Value empty(rapidjson::kObjectType);
  const rapidjson::Value &p = pvcalk != nullptr ? *pvcalk : empty;
  NFFT = js::Int(js::Find(p, "NFFT")).value_or(0);
  OverlapFFT = js::Number(js::Find(p, "OverlapFFT")).value_or(0.0);
  N_MFCC = js::Int(js::Find(p, "N_MFCC")).value_or(0);
  JJ = js::Int(js::Find(p, "JJ")).value_or(0);
  F_max = js::Int(js::Find(p, "F_max")).value_or(0);
  F_mid = js::Int(js::Find(p, "F_mid")).value_or(0);
  F_min = js::Int(js::Find(p, "F_min")).value_or(0);
  F_Smp = js::Int(js::Find(p, "F_Smp")).value_or(0);
  MF_Wnd = js::Int(js::Find(p, "MF_Wnd")).value_or(0);

  const rapidjson::Value *detect = js::Find(doc, "detect");
  const rapidjson::Value &d = detect != nullptr ? *detect : empty;
  const rapidjson::Value *fname = js::Find(d, "js_train_fname");
  js_train_fname = (fname != nullptr && fname->IsString()) ? std::string(fname->GetString(), fname->GetStringLength())
                                                           : std::string();
  border = js::Number(js::Find(d, "border")).value_or(0.0);
  KK = js::Int(js::Find(d, "KK")).value_or(0);
  KN = js::Int(js::Find(d, "KN")).value_or(0);
  NN = js::Int(js::Find(d, "NN")).value_or(0);
  M = js::Int(js::Find(d, "M")).value_or(0);
  // The flag is an integer where exactly 1 means on; the literal true is not an integer and reads as off.
  IsDynamicNet = js::Int(js::Find(d, "IsDynamicNet")).value_or(0) == 1;
}

} // namespace detection

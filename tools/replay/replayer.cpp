#include "tools/replay/replayer.h"

#include "detection/channel_detector.h"
#include "detection/detection_check.h"
#include "dir_def_core/direction_settings.h"
#include "engines/hybrid_steps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace replay {

namespace {

using TWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The station's messages write a non-finite number as null (the default writer refuses it and would leave
// an unfinished object); the extra members follow the same rule.
void WriteNumber(TWriter &w, double v) {
  if (std::isfinite(v)) {
    w.Double(v);
  } else {
    w.Null();
  }
}

bool Readable(const std::string &path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return false;
  }
  return std::ifstream(path).is_open();
}

} // namespace

std::string LoadSettings(const std::string &settingsDir, bool denseBinWeights, TReplaySettings &out) {
  // The station concatenates; a directory given without its trailing separator is completed here.
  std::string dir = settingsDir;
  if (!dir.empty() && dir.back() != '/') {
    dir += '/';
  }
  const std::string detectPath = dir + "detect.json";
  const std::string dirDefPath = dir + "dir_def.json";
  // The station goes on with built-in defaults when a settings file is missing; a replay of a recording with
  // settings nobody chose would only mislead, so it is refused.
  for (const std::string &path : {detectPath, dirDefPath}) {
    if (!Readable(path)) {
      return path + ": cannot be opened";
    }
  }
  out = TReplaySettings{};
  out.Detect.ReadFromJson(detectPath);
  out.DirDef.LoadJS(dirDefPath);
  out.Detect.js_train_fname = detection::ResolveTrainingPath(out.Detect.js_train_fname, dir);
  const std::string &trainPath = out.Detect.js_train_fname;
  if (Readable(trainPath)) { // otherwise the check below names the file (once, without the loader's message)
    out.Training.Load(trainPath, out.Detect.IsDynamicNet);
  }
  std::string why = detection::CheckDetectionSetup(out.Detect, out.Training, denseBinWeights, detectPath, trainPath);
  // Autocalibration does no direction finding, so only the hybrid mode needs usable direction settings.
  if (why.empty() && !out.Autocalibr()) {
    why = dir_def_core::CheckDirectionSettings(out.DirDef);
    if (!why.empty()) {
      why = dirDefPath + ": " + why;
    }
  }
  return why;
}

std::string CheckRecordingRate(double rateHz, const TReplaySettings &s) {
  if (rateHz != static_cast<double>(s.Detect.F_Smp)) {
    return "the recording's rate " + std::to_string(static_cast<long long>(rateHz)) + " Hz differs from \"F_Smp\" " +
           std::to_string(s.Detect.F_Smp) + " of detect.json";
  }
  if (!s.Autocalibr() && rateHz != s.DirDef.FSampling) {
    char line[160];
    std::snprintf(line, sizeof line, "the recording's rate %.0f Hz differs from \"FSampling\" %g of dir_def.json",
                  rateHz, s.DirDef.FSampling);
    return line;
  }
  return "";
}

std::string MessageLine(double t, std::int64_t sample, const std::string &messageText) {
  rapidjson::StringBuffer buffer;
  TWriter w(buffer);
  w.StartObject();
  w.Key("t");
  WriteNumber(w, t);
  w.Key("sample");
  w.Int64(sample);
  // The object stays open: the station's own text, less its opening brace, supplies the other members.
  std::string line(buffer.GetString(), buffer.GetSize());
  line += ',';
  line.append(messageText, messageText.empty() ? 0 : 1, std::string::npos);
  line += '\n';
  return line;
}

std::string ScoreLine(double score, int channel, std::int64_t sample) {
  rapidjson::StringBuffer buffer;
  TWriter w(buffer);
  w.StartObject();
  w.Key("score");
  WriteNumber(w, score);
  w.Key("channel");
  w.Int(channel);
  w.Key("sample");
  w.Int64(sample);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + '\n';
}

std::string DirectionLine(double degrees, std::int64_t sample) {
  rapidjson::StringBuffer buffer;
  TWriter w(buffer);
  w.StartObject();
  w.Key("direction");
  WriteNumber(w, degrees);
  w.Key("sample");
  w.Int64(sample);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + '\n';
}

TReplayer::TReplayer(const TReplaySettings &s, bool denseBinWeights, bool trace, double sampleRateHz)
    : trace_(trace), rateHz_(sampleRateHz) {
  if (s.Autocalibr()) {
    autocalibr_ = std::make_unique<TAutocalibrResults>(s.Detect.border);
  } else {
    direction_ = std::make_unique<TDirectionHalf>(s.DirDef);
    hybrid_ = std::make_unique<THybridResults>(s.Detect.border);
  }
  for (int c = 0; c < kChannels; ++c) {
    chains_.push_back(std::make_unique<detection::TChannelDetector>(s.Detect, s.Training, denseBinWeights));
  }
  events_.reserve(kBlockSamples);
}

TReplayer::~TReplayer() = default;

void TReplayer::ProcessBlock(const TBlock &block, std::int64_t firstSample, std::string &out) {
  // Direction half first, as the engine runs it on a whole block; its averages are applied below in sample
  // order, so a record sees exactly the averages completed at or before its own last sample.
  events_.clear();
  if (direction_) {
    direction_->ProcessBlock(block[0], block[1], block[2], block[3],
                             [this, firstSample](int i, double deg) { events_.emplace_back(firstSample + i, deg); });
  }
  std::size_t nextEvent = 0;
  const auto applyDirections = [&](std::int64_t upTo) {
    for (; nextEvent < events_.size() && events_[nextEvent].first <= upTo; ++nextEvent) {
      hybrid_->SetDirection(events_[nextEvent].second);
      ++directions_;
      if (trace_) {
        out += DirectionLine(events_[nextEvent].second, events_[nextEvent].first);
      }
    }
  };

  const std::size_t n = std::min({block[0].size(), block[1].size(), block[2].size(), block[3].size()});
  std::array<double, 4> record{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t sample = firstSample + static_cast<std::int64_t>(i);
    applyDirections(sample);
    for (int c = 0; c < kChannels; ++c) {
      double score = 0.0;
      if (!chains_[static_cast<std::size_t>(c)]->PushSample(block[static_cast<std::size_t>(c)][i], score)) {
        continue;
      }
      ++scores_;
      if (trace_) {
        out += ScoreLine(score, c, sample);
      }
      if (detection::JoinScore(seqCounters_, pending_, c, score, record)) {
        OnRecord(record, sample, out);
      }
    }
  }
  applyDirections(firstSample + static_cast<std::int64_t>(n));
}

void TReplayer::OnRecord(const std::array<double, 4> &q, std::int64_t sample, std::string &out) {
  const std::string text = hybrid_ ? hybrid_->OnScores(q) : autocalibr_->OnScores(q);
  out += MessageLine(static_cast<double>(sample) / rateHz_, sample, text);
  ++messages_;
}

} // namespace replay

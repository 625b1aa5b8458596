#pragma once
// The offline counterpart of the station's detection and union engine threads. It runs recorded blocks
// through the station's own steps, in a fixed order, so every run over the same samples prints the same
// lines:
//  - per block, first the direction half (detection::TDirectionHalf via engines/hybrid_steps.h), collecting
//    each new averaged azimuth with the index of the sample that completed it;
//  - then, sample by sample, the four channel chains (detection::TChannelDetector); each score is joined
//    into records of four with the synchronisation thread's own step (detection::JoinScore);
//  - a completed record first takes every direction average completed at or before its sample, then goes
//    through the hybrid (THybridResults) or autocalibration (TAutocalibrResults) record, whose JSON text is
//    printed with "t" (seconds) and "sample" spliced in front.
// No thread, socket or clock: the caller reads the blocks and writes the text. Used by one thread.

#include "app/dir_def_params.h"
#include "detection/detect_config.h"
#include "detection/dtc_v2/training_res.h"
#include "detection/x4_detectors.h"
#include "tools/replay/wav_blocks.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class TDirectionHalf;
class THybridResults;
class TAutocalibrResults;

namespace detection {
class TChannelDetector;
}

namespace replay {

// Everything the station reads from its settings directory.
struct TReplaySettings {
  detection::TDetectConfig Detect;
  TDirDefParams DirDef;          // as in the file: centimetres and degrees
  dtc_v2::TTrainingRes Training; // the file named by "js_train_fname", resolved like the station does
  bool Autocalibr() const { return Detect.border < 0.0; }
};

// Reads `settingsDir` + "detect.json" and "dir_def.json" and the training file the way the station does and
// applies the station's start-up checks (detection setup, spectrum band, and in hybrid mode the direction
// settings). Unlike the station, a settings file that cannot be opened is refused rather than replaced by
// defaults. Returns "" or one line naming the file and the fault.
std::string LoadSettings(const std::string &settingsDir, bool denseBinWeights, TReplaySettings &out);

// "" when a recording at `rateHz` is what the settings describe ("F_Smp", and "FSampling" in hybrid mode);
// otherwise one line.
std::string CheckRecordingRate(double rateHz, const TReplaySettings &s);

// Output lines, each one compact JSON object. Numbers are written by the same writer as the station's
// messages; a non-finite number is written as null, as in the messages.
std::string MessageLine(double t, std::int64_t sample, const std::string &messageText);
std::string ScoreLine(double score, int channel, std::int64_t sample);
std::string DirectionLine(double degrees, std::int64_t sample);

class TReplayer {
public:
  // `sampleRateHz` turns sample indices into "t". Throws std::invalid_argument for refused direction
  // settings and what the channel chains throw for unusable detection settings or training data.
  TReplayer(const TReplaySettings &s, bool denseBinWeights, bool trace, double sampleRateHz);
  ~TReplayer();
  TReplayer(const TReplayer &) = delete;
  TReplayer &operator=(const TReplayer &) = delete;

  // Runs one block (kBlockSamples per channel) whose first sample has index `firstSample` in the file, and
  // appends the lines it produces (each ending with '\n') to `out`, in sample order. Exceptions of the
  // direction finder pass through.
  void ProcessBlock(const TBlock &block, std::int64_t firstSample, std::string &out);

  std::int64_t Messages() const { return messages_; }
  std::int64_t Scores() const { return scores_; }
  std::int64_t Directions() const { return directions_; }

private:
  void OnRecord(const std::array<double, 4> &q, std::int64_t sample, std::string &out);

  bool trace_;
  double rateHz_;
  std::vector<std::unique_ptr<detection::TChannelDetector>> chains_; // reader channel 0 first
  std::unique_ptr<TDirectionHalf> direction_;                        // hybrid mode only
  std::unique_ptr<THybridResults> hybrid_;
  std::unique_ptr<TAutocalibrResults> autocalibr_;
  std::vector<std::int32_t> seqCounters_ = std::vector<std::int32_t>(4, 0);
  detection::TPendingRecords pending_;
  std::vector<std::pair<std::int64_t, double>> events_; // this block's (sample, azimuth deg)
  std::int64_t messages_ = 0;
  std::int64_t scores_ = 0;
  std::int64_t directions_ = 0;
};

} // namespace replay

#pragma once
// Detection of one microphone channel on a thread of its own: th_Detect loads the training file, builds the
// channel's detection chain, then reads the channel block by block from the sample source and publishes
// every new classifier score into the score ring. Created, started, stopped and joined by TX4Detectors;
// the detector thread runs th_Detect, the synchronisation thread drains the ring.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "detection/detect_config.h"
#include "micro4/event_count.h"
#include "micro4/samples_src.h"

namespace detection {

// How many scores each of the four detectors of a set has published so far, one cache line each: detector c
// stores its own count (seq_cst), every detector loads the others' (seq_cst). Owned by the detector set.
struct TScoreCounts {
  struct alignas(64) TCount {
    std::atomic<std::uint64_t> Published{0};
  };
  std::array<TCount, 4> Of;
};

class TSingleDetector {
public:
  static constexpr std::int32_t kScoreRingSize = 20000;

  TSingleDetector() = default;
  TSingleDetector(const TSingleDetector &) = delete;
  TSingleDetector &operator=(const TSingleDetector &) = delete;
  // Sets Stop and joins the thread if it still runs (it ends once its current read returns).
  ~TSingleDetector();

  // Score ring, single producer / single consumer. The detector thread writes Scores[WriteIdx] and then
  // publishes WriteIdx + 1 (release); the synchronisation thread reads WriteIdx (acquire), reads
  // Scores[ReadIdx] and then publishes ReadIdx + 1 (release). Each side loads its own index relaxed.
  std::vector<double> Scores = std::vector<double>(kScoreRingSize, 0.0);
  alignas(64) std::atomic<std::int32_t> WriteIdx{0};
  alignas(64) std::atomic<std::int32_t> ReadIdx{0};
  std::thread Thread;                        // runs th_Detect; owned and joined by the detector set
  alignas(64) std::atomic<bool> Stop{false}; // set by the owner; read by the thread after each block
  TAbstractSamplesSrc *Src = nullptr;        // shared sample source, not owned
  const TDetectConfig *Config = nullptr;     // shared settings, read-only, not owned
  std::int32_t Channel = 0;                  // reader channel 0 .. 3
  bool DenseBinWeights = false;              // classifier lookup of ormelin_station2
  // Not owned, set before the thread starts: notified after each published score and on failure (ScoreWake,
  // the synchronisation thread's), and on failure only (FailWake, whoever reads the set's records).
  micro4::TEventCount *ScoreWake = nullptr;
  micro4::TEventCount *FailWake = nullptr;
  // Not owned, set before the thread starts (null: a detector on its own). With it, ScoreWake is notified only
  // for a score that completes a record (every detector of the set has published as many) or while the own ring
  // is half full: the synchronisation thread then sleeps through the three scores of a record that cannot
  // complete yet instead of waking for each.
  TScoreCounts *ScoreCounts = nullptr;

  // Thread body. Never throws: a failure (unusable settings or training data, an exception from the
  // source or the chain) is recorded as one line in FailureReason() and ends the thread.
  void th_Detect();

  // Any thread: "" while healthy, else the line that ended the thread.
  std::string FailureReason() const;

private:
  void Run();
  void Publish(double score);
  void Fail(const std::string &why);

  std::string failure_;             // written once by the detector thread before failed_ is set
  std::atomic<bool> failed_{false}; // release by the detector thread, acquire by readers
};

} // namespace detection

#pragma once
// The four-channel detector set: one TSingleDetector thread per reader channel and one synchronisation
// thread that joins the n-th score of every channel into the n-th record of four scores, published in a
// ring for the union engine. Owned by the union engine thread, which calls Init once, then TryRead and
// FailureReason from its loop; StopAll (or the destructor) stops and joins all five threads.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "detection/detect_config.h"
#include "detection/single_detector.h"
#include "micro4/event_count.h"
#include "micro4/samples_src.h"

namespace detection {

// Scores of one sequence number gathered so far; a value below 0.0 marks a channel still missing.
using TPendingRecords = std::map<std::int32_t, std::array<double, 4>>;

// The joining step of the synchronisation thread, kept pure for testing: files `score` of `channel` under
// that channel's next sequence number (counters wrap at 10000). Returns true and fills `complete` when that
// record now holds four scores (none below 0.0; NaN counts as present), removing it from `pending`.
bool JoinScore(std::vector<std::int32_t> &seqCounters, TPendingRecords &pending, int channel, double score,
               std::array<double, 4> &complete);

class TX4Detectors {
public:
  static constexpr std::int32_t kResultsRingSize = 1000;
  static constexpr std::int32_t kSeqWrap = 10000;

  TX4Detectors() = default;
  TX4Detectors(const TX4Detectors &) = delete;
  TX4Detectors &operator=(const TX4Detectors &) = delete;
  ~TX4Detectors(); // StopAll()

  // Sizes the set, creates the four detectors (channel 0 first, each thread started before the next
  // detector is created) and starts the synchronisation thread. The bin-weight lookup is the deliverable's
  // (dtc_v2::UseDenseBinWeights()); the overload chooses it explicitly. Called once (a second call throws
  // std::logic_error).
  void Init(TAbstractSamplesSrc *src, TDetectConfig *config);
  void Init(TAbstractSamplesSrc *src, TDetectConfig *config, bool denseBinWeights);

  // Before Init only (std::logic_error after): `listener` (not owned, must outlive the set's threads) is notified
  // after each published record and when a thread of the set fails, so the consumer can sleep between records.
  void SetRecordListener(micro4::TEventCount *listener);

  // Consumer side of the results ring: copies the record at ReadIdx and advances ReadIdx. False when no
  // unread record exists.
  bool TryRead(std::array<double, 4> &q);

  // "" while every thread is healthy; otherwise the one line of the first failure (a detector thread that
  // could not start its chain or met an exception; the synchronisation thread failing).
  std::string FailureReason() const;

  // Sets every stop flag and joins the five threads. A detector blocked in the source's read returns once
  // the source delivers a block (or is stopped). Idempotent.
  void StopAll();

  void th_SyncDtcResults();

  TAbstractSamplesSrc *Src = nullptr; // not owned
  // Results ring, single producer / single consumer: the synchronisation thread fills Results[WriteIdx] and
  // then publishes WriteIdx + 1 (release); the consumer loads WriteIdx (acquire), copies Results[ReadIdx]
  // and then publishes ReadIdx + 1 (release). A writer a whole ring ahead overwrites unread records.
  std::vector<std::vector<double>> Results;
  std::vector<std::unique_ptr<TSingleDetector>> Detectors; // channel 0 first; fixed after Init
  std::vector<std::int32_t> SeqCounters;                   // synchronisation thread only
  alignas(64) std::atomic<std::int32_t> WriteIdx{0};
  alignas(64) std::atomic<std::int32_t> ReadIdx{0};
  std::thread SyncThread;
  alignas(64) std::atomic<bool> Stop{false}; // stop flag of the synchronisation thread

private:
  micro4::TEventCount ScoreWake_;                 // the detectors notify it; the synchronisation thread sleeps on it
  TScoreCounts ScoreCounts_;                      // the detectors' published counts (see TSingleDetector::Publish)
  micro4::TEventCount *RecordListener_ = nullptr; // not owned; fixed before Init
  std::string syncFailure_;                       // written once by the synchronisation thread before syncFailed_
  std::atomic<bool> syncFailed_{false};
};

} // namespace detection

#include "detection/x4_detectors.h"

#include <exception>
#include <stdexcept>

#include "detection/dtc_v2/variant.h"

namespace detection {

bool JoinScore(std::vector<std::int32_t> &seqCounters, TPendingRecords &pending, int channel, double score,
               std::array<double, 4> &complete) {
  const std::int32_t s = seqCounters[channel];
  seqCounters[channel] = (s + 1) % TX4Detectors::kSeqWrap;
  auto it = pending.find(s);
  if (it == pending.end()) {
    it = pending.emplace(s, std::array<double, 4>{-1.0, -1.0, -1.0, -1.0}).first;
  }
  it->second[channel] = score;
  for (const double v : it->second) {
    if (v < 0.0) {
      return false;
    }
  }
  complete = it->second;
  pending.erase(it);
  return true;
}

TX4Detectors::~TX4Detectors() { StopAll(); }

void TX4Detectors::Init(TAbstractSamplesSrc *src, TDetectConfig *config) {
  Init(src, config, dtc_v2::UseDenseBinWeights());
}

void TX4Detectors::Init(TAbstractSamplesSrc *src, TDetectConfig *config, bool denseBinWeights) {
  if (!Detectors.empty() || SyncThread.joinable()) {
    throw std::logic_error("TX4Detectors::Init called twice");
  }
  SeqCounters.assign(4, 0);
  Results.assign(kResultsRingSize, std::vector<double>(4, 0.0));
  Src = src;
  for (std::int32_t c = 0; c < 4; ++c) {
    auto d = std::make_unique<TSingleDetector>();
    d->Src = Src;
    d->Config = config;
    d->Channel = c;
    d->DenseBinWeights = denseBinWeights;
    d->ScoreWake = &ScoreWake_;
    d->ScoreCounts = &ScoreCounts_;
    d->FailWake = RecordListener_;
    TSingleDetector *raw = d.get();
    Detectors.push_back(std::move(d));
    raw->Thread = std::thread(&TSingleDetector::th_Detect, raw);
  }
  SyncThread = std::thread(&TX4Detectors::th_SyncDtcResults, this);
}

bool TX4Detectors::TryRead(std::array<double, 4> &q) {
  const std::int32_t r = ReadIdx.load(std::memory_order_relaxed);
  if (r == WriteIdx.load(std::memory_order_acquire)) {
    return false;
  }
  const std::vector<double> &rec = Results[r];
  for (std::size_t k = 0; k < 4; ++k) {
    q[k] = rec[k];
  }
  ReadIdx.store((r + 1) % kResultsRingSize, std::memory_order_release);
  return true;
}

std::string TX4Detectors::FailureReason() const {
  for (const auto &d : Detectors) {
    std::string why = d->FailureReason();
    if (!why.empty()) {
      return why;
    }
  }
  return syncFailed_.load(std::memory_order_acquire) ? syncFailure_ : std::string();
}

void TX4Detectors::SetRecordListener(micro4::TEventCount *listener) {
  if (!Detectors.empty() || SyncThread.joinable()) {
    throw std::logic_error("TX4Detectors::SetRecordListener called after Init");
  }
  RecordListener_ = listener;
}

void TX4Detectors::StopAll() {
  Stop.store(true, std::memory_order_release);
  ScoreWake_.Notify();
  for (const auto &d : Detectors) {
    d->Stop.store(true, std::memory_order_release);
  }
  for (const auto &d : Detectors) {
    if (d->Thread.joinable()) {
      d->Thread.join();
    }
  }
  if (SyncThread.joinable()) {
    SyncThread.join();
  }
}

void TX4Detectors::th_SyncDtcResults() {
  try {
    TPendingRecords pending;
    std::array<double, 4> record{};
    for (;;) {
      // Taken before the stop flag and the rings are looked at: a StopAll() or a score coming after the look
      // still ends the wait below.
      const std::uint32_t seen = ScoreWake_.Prepare();
      if (Stop.load(std::memory_order_acquire)) {
        break;
      }
      bool took = false;
      for (std::size_t i = 0; i < Detectors.size(); ++i) {
        TSingleDetector &d = *Detectors[i];
        const std::int32_t r = d.ReadIdx.load(std::memory_order_relaxed);
        if (r == d.WriteIdx.load(std::memory_order_acquire)) {
          continue;
        }
        const double v = d.Scores[r];
        d.ReadIdx.store((r + 1) % TSingleDetector::kScoreRingSize, std::memory_order_release);
        took = true;
        if (JoinScore(SeqCounters, pending, static_cast<int>(i), v, record)) {
          const std::int32_t w = WriteIdx.load(std::memory_order_relaxed);
          std::copy(record.begin(), record.end(), Results[w].begin());
          WriteIdx.store((w + 1) % kResultsRingSize, std::memory_order_release);
          if (RecordListener_ != nullptr) {
            RecordListener_->Notify();
          }
        }
      }
      if (!took) {
        ScoreWake_.Wait(seen); // woken by a score that completes a record, a failure or StopAll()
      }
    }
  } catch (const std::exception &e) {
    syncFailure_ = std::string("detector synchronisation: ") + e.what();
    syncFailed_.store(true, std::memory_order_release);
    if (RecordListener_ != nullptr) {
      RecordListener_->Notify();
    }
  }
}

} // namespace detection

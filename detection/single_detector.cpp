#include "detection/single_detector.h"

#include <exception>

#include "detection/channel_detector.h"
#include "detection/detection_check.h"
#include "detection/dtc_v2/training_res.h"

namespace detection {

TSingleDetector::~TSingleDetector() {
  Stop.store(true, std::memory_order_release);
  if (Thread.joinable()) {
    Thread.join();
  }
}

std::string TSingleDetector::FailureReason() const {
  return failed_.load(std::memory_order_acquire) ? failure_ : std::string();
}

void TSingleDetector::Fail(const std::string &why) {
  if (failed_.load(std::memory_order_relaxed)) {
    return;
  }
  failure_ = "detector channel " + std::to_string(Channel) + ": " + why;
  failed_.store(true, std::memory_order_release);
  // Whoever watches the set's health may be asleep waiting for results that will now never come.
  for (micro4::TEventCount *wake : {ScoreWake, FailWake}) {
    if (wake != nullptr) {
      wake->Notify();
    }
  }
}

void TSingleDetector::Publish(double score) {
  const std::int32_t w = WriteIdx.load(std::memory_order_relaxed);
  Scores[w] = score;
  const std::int32_t next = (w + 1) % kScoreRingSize;
  WriteIdx.store(next, std::memory_order_release);
  if (ScoreWake == nullptr) {
    return;
  }
  bool wake = true;
  if (ScoreCounts != nullptr) {
    // Own count stored, then the others' loaded, all seq_cst: of detectors publishing their n-th score at the
    // same time, the last one's loads see every other n, so some detector always wakes the thread for record n.
    auto &own = ScoreCounts->Of[static_cast<std::size_t>(Channel)].Published;
    const std::uint64_t n = own.load(std::memory_order_relaxed) + 1; // own counter
    own.store(n, std::memory_order_seq_cst);
    bool complete = true;
    for (std::size_t c = 0; c < ScoreCounts->Of.size(); ++c) {
      complete = complete && ScoreCounts->Of[c].Published.load(std::memory_order_seq_cst) >= n;
    }
    const std::int32_t unread = (next - ReadIdx.load(std::memory_order_acquire) + kScoreRingSize) % kScoreRingSize;
    wake = complete || unread >= kScoreRingSize / 2;
  }
  if (wake) {
    ScoreWake->Notify();
  }
}

void TSingleDetector::th_Detect() {
  try {
    Run();
  } catch (const std::exception &e) {
    Fail(e.what());
  } catch (...) {
    Fail("unknown exception");
  }
}

void TSingleDetector::Run() {
  if (Src == nullptr || Config == nullptr) {
    Fail("started without a sample source or settings");
    return;
  }
  const int blocks = Src->BlocksCount();
  if (blocks <= 0) {
    Fail("the sample source has " + std::to_string(blocks) + " blocks");
    return;
  }
  std::vector<double> samples(400, 0.0);

  dtc_v2::TTrainingRes training;
  training.Load(Config->js_train_fname, Config->IsDynamicNet);
  const std::string why =
      CheckDetectionSetup(*Config, training, DenseBinWeights, "detect.json", Config->js_train_fname);
  if (!why.empty()) {
    Fail(why);
    return;
  }
  TChannelDetector chain(*Config, training, DenseBinWeights);
  training = dtc_v2::TTrainingRes(); // the classifier holds its own copy

  if (Stop.load(std::memory_order_acquire)) {
    return;
  }
  // Block 0 first, whatever block the source is writing; the source's wait paces this loop.
  int block = 0;
  // Waiting for a batch's last block first means one wake-up per batch; its blocks then read without waiting.
  const bool batched = blocks % micro4::kReadBatchBlocks == 0;
  for (;;) {
    if (batched && block % micro4::kReadBatchBlocks == 0) {
      Src->AwaitBlock(block + micro4::kReadBatchBlocks - 1);
    }
    Src->ReadSelectedSignalsBS400(samples, block, Channel);
    block = (block + 1) % blocks;
    chain.PushSamples(samples.data(), samples.size(), [this](double score) { Publish(score); });
    if (Stop.load(std::memory_order_acquire)) {
      break;
    }
  }
}

} // namespace detection

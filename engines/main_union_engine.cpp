#include "engines/main_union_engine.h"

#include "detection/x4_detectors.h"
#include "engines/hybrid_steps.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

// Pause of a loop pass that found nothing to do, only with a sample source that cannot wake the engine (test
// sources): short against the 10.7 ms between blocks. With the array client the engine sleeps until woken.
constexpr std::chrono::milliseconds kIdlePause{1};

// Most blocks the direction half takes in one loop pass: two batches.
constexpr int kBlocksPerPass = 2 * micro4::kReadBatchBlocks;

// A failed detector is looked for on idle passes and, while busy, every this many passes.
constexpr unsigned kBusyPassesPerHealthCheck = 256;

void Send(TTcpSenderSrv *sender, const std::string &text) {
  if (sender != nullptr) {
    sender->SendResult(text); // a message the client cannot take is dropped; the loop carries on
  }
}

// Registers the engine's wake-up counter with the sample source for the guard's lifetime.
class TBlockListenerGuard {
public:
  TBlockListenerGuard(TAbstractSamplesSrc *src, micro4::TEventCount *wake)
      : Src_(src), Active_(src->SetBlockListener(wake)) {}
  ~TBlockListenerGuard() {
    if (Active_) {
      Src_->SetBlockListener(nullptr);
    }
  }
  TBlockListenerGuard(const TBlockListenerGuard &) = delete;
  TBlockListenerGuard &operator=(const TBlockListenerGuard &) = delete;
  // True when the source wakes the engine after each block.
  bool Active() const { return Active_; }

private:
  TAbstractSamplesSrc *Src_;
  bool Active_;
};

} // namespace

void TMainUnionEngine::StartThread() {
  if (Thread.joinable()) {
    throw std::logic_error("union engine already started");
  }
  if (Src == nullptr || DetectConfig == nullptr || (AutocalibrMode == 0 && DirDefParams == nullptr)) {
    throw std::invalid_argument("union engine started without its sample source or settings");
  }
  StopRequested_.store(false, std::memory_order_relaxed);
  Failure_.clear();
  Thread = std::thread(&TMainUnionEngine::th_Run, this);
}

std::string TMainUnionEngine::Join() {
  if (Thread.joinable()) {
    Thread.join();
  }
  return Failure_;
}

void TMainUnionEngine::RequestStop() {
  StopRequested_.store(true, std::memory_order_relaxed);
  Wake_.Notify();
}

void TMainUnionEngine::Stop() {
  RequestStop();
  if (Thread.joinable()) {
    Thread.join();
  }
}

void TMainUnionEngine::th_Run() {
  // An exception must not leave the thread (std::terminate): it becomes the failure reason Join() returns.
  // The detector set, a local of the run_ function, is stopped and joined while the stack unwinds.
  try {
    if (AutocalibrMode != 0) {
      run_Autocalibr();
    } else {
      run_Hybrid();
    }
  } catch (const std::exception &e) {
    Failure_ = std::string("union engine: ") + e.what();
  } catch (...) {
    Failure_ = "union engine: unknown exception";
  }
}

bool TMainUnionEngine::FinishPass(bool busy, unsigned &passes, const detection::TX4Detectors &detectors, bool canSleep,
                                  std::uint32_t seen) {
  // A failed detector is looked for on every idle pass and every kBusyPassesPerHealthCheck busy ones.
  if (!busy || ++passes % kBusyPassesPerHealthCheck == 0) {
    if (std::string reason = detectors.FailureReason(); !reason.empty()) {
      Failure_ = reason;
      return false;
    }
  }
  if (!busy) {
    if (canSleep) {
      Wake_.Wait(seen); // a block, a record, a failure of the detector set or Stop() ends it
    } else {
      std::this_thread::sleep_for(kIdlePause);
    }
  }
  return true;
}

void TMainUnionEngine::run_Hybrid() {
  // The direction settings are checked (and refused) before any detector thread starts.
  TDirectionHalf direction(*DirDefParams);
  detection::TX4Detectors detectors;
  detectors.SetRecordListener(&Wake_);
  detectors.Init(Src, DetectConfig);
  // Removes the listener on every way out, so the source never notifies an engine that has gone.
  const TBlockListenerGuard listening(Src, &Wake_);
  THybridResults results(DetectConfig->border);

  const int blockCount = Src->BlocksCount();
  if (blockCount <= 0) {
    throw std::runtime_error("sample source reports no blocks");
  }
  int blockIdx = 0;
  std::vector<double> ch0(400), ch1(400), ch2(400), ch3(400);
  std::array<double, 4> q{};
  unsigned passes = 0;

  for (;;) {
    // Read before the stop flag and the work are looked at, so a Stop() or news arriving later ends the wait at
    // the end of this pass.
    const std::uint32_t seen = Wake_.Prepare();
    if (StopRequested()) {
      break;
    }
    bool busy = false;
    // The blocks first: the engine is woken once per batch of blocks, so when a record wakes it the direction
    // half may be several blocks behind; catching up first gives the record the direction of its own time.
    // Bounded, so records keep flowing while a large backlog is worked off.
    for (int b = 0; b < kBlocksPerPass && Src->NonBlockReadAllCH(ch0, ch1, ch2, ch3, blockIdx); ++b) {
      busy = true;
      blockIdx = (blockIdx + 1) % blockCount;
      BlocksDone_.fetch_add(1, std::memory_order_relaxed);
      direction.ProcessBlock(ch0, ch1, ch2, ch3, [&results](int, double deg) { results.SetDirection(deg); });
    }
    if (detectors.TryRead(q)) { // at most one record per pass
      busy = true;
      Send(JsonSender, results.OnScores(q));
      RecordsDone_.fetch_add(1, std::memory_order_relaxed);
    }
    if (!FinishPass(busy, passes, detectors, listening.Active(), seen)) {
      break;
    }
  }
  detectors.StopAll();
}

void TMainUnionEngine::run_Autocalibr() {
  detection::TX4Detectors detectors;
  detectors.SetRecordListener(&Wake_);
  detectors.Init(Src, DetectConfig);
  TAutocalibrResults results(DetectConfig->border);
  std::printf("AutoCalibrating thread started\n");
  std::fflush(stdout);

  std::array<double, 4> q{};
  unsigned passes = 0;
  for (;;) {
    const std::uint32_t seen = Wake_.Prepare(); // before the stop flag, as in run_Hybrid
    if (StopRequested()) {
      break;
    }
    const bool busy = detectors.TryRead(q);
    if (busy) {
      Send(JsonSender, results.OnScores(q));
      RecordsDone_.fetch_add(1, std::memory_order_relaxed);
    }
    // Only records matter here, and the detector set always wakes the engine for those.
    if (!FinishPass(busy, passes, detectors, true, seen)) {
      break;
    }
  }
  detectors.StopAll();
}

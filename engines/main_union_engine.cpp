#include "engines/main_union_engine.h"

#include "detection/x4_detectors.h"
#include "engines/hybrid_steps.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

// Pause of a loop pass that found nothing to do: short against the 10.7 ms between blocks and the ~0.14 s
// between score records, long enough that an idle station does not keep a core busy.
constexpr std::chrono::milliseconds kIdlePause{1};

// A failed detector is looked for on idle passes and, while busy, every this many passes.
constexpr unsigned kBusyPassesPerHealthCheck = 256;

void Send(TTcpSenderSrv *sender, const std::string &text) {
  if (sender != nullptr) {
    sender->SendResult(text); // a message the client cannot take is dropped; the loop carries on
  }
}

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

void TMainUnionEngine::Stop() {
  StopRequested_.store(true, std::memory_order_relaxed);
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

bool TMainUnionEngine::FinishPass(bool busy, unsigned &passes, const detection::TX4Detectors &detectors) {
  // A failed detector is looked for on every idle pass and every kBusyPassesPerHealthCheck busy ones.
  if (!busy || ++passes % kBusyPassesPerHealthCheck == 0) {
    if (std::string reason = detectors.FailureReason(); !reason.empty()) {
      Failure_ = reason;
      return false;
    }
  }
  if (!busy) {
    std::this_thread::sleep_for(kIdlePause);
  }
  return true;
}

void TMainUnionEngine::run_Hybrid() {
  // The direction settings are checked (and refused) before any detector thread starts.
  TDirectionHalf direction(*DirDefParams);
  detection::TX4Detectors detectors;
  detectors.Init(Src, DetectConfig);
  THybridResults results(DetectConfig->border);

  const int blockCount = Src->BlocksCount();
  if (blockCount <= 0) {
    throw std::runtime_error("sample source reports no blocks");
  }
  int blockIdx = 0;
  std::vector<double> ch0(400), ch1(400), ch2(400), ch3(400);
  std::array<double, 4> q{};
  unsigned passes = 0;

  while (!StopRequested()) {
    bool busy = false;
    if (detectors.TryRead(q)) { // at most one record per pass
      busy = true;
      Send(JsonSender, results.OnScores(q));
    }
    if (Src->NonBlockReadAllCH(ch0, ch1, ch2, ch3, blockIdx)) {
      busy = true;
      blockIdx = (blockIdx + 1) % blockCount;
      direction.ProcessBlock(ch0, ch1, ch2, ch3, [&results](int, double deg) { results.SetDirection(deg); });
    }
    if (!FinishPass(busy, passes, detectors)) {
      break;
    }
  }
  detectors.StopAll();
}

void TMainUnionEngine::run_Autocalibr() {
  detection::TX4Detectors detectors;
  detectors.Init(Src, DetectConfig);
  TAutocalibrResults results(DetectConfig->border);
  std::printf("AutoCalibrating thread started\n");
  std::fflush(stdout);

  std::array<double, 4> q{};
  unsigned passes = 0;
  while (!StopRequested()) {
    const bool busy = detectors.TryRead(q);
    if (busy) {
      Send(JsonSender, results.OnScores(q));
    }
    if (!FinishPass(busy, passes, detectors)) {
      break;
    }
  }
  detectors.StopAll();
}

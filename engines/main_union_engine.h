#pragma once
// The union engine: one thread that joins the detector set's records of four scores and the direction half
// into result messages for the result client. Hybrid mode (AutocalibrMode 0): per record an alert level and a
// message, per sample block a pass of direction finding whose averaged azimuth the next message carries.
// Autocalibration mode (non-zero): per record a message whose "brd" is 1.05 x the largest score seen.
// The loops are thin: the work is done by THybridResults, TDirectionHalf and TAutocalibrResults, which the
// offline replay tool calls the same way.
//
// Threads: main (or a test) fills the fields, calls StartThread() and later Join() or Stop(); the engine thread
// owns the detector set, the direction objects and the message record. When neither a record nor a block is
// ready it sleeps until the source publishes a block, the detector set a record or a failure, or Stop() is
// called (with a source that cannot notify it pauses about 1 ms instead).

#include "app/dir_def_params.h"
#include "app/tcp_sender.h"
#include "detection/detect_config.h"
#include "detection/x4_detectors.h"
#include "micro4/event_count.h"
#include "micro4/samples_src.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class TMainUnionEngine {
public:
  TAbstractSamplesSrc *Src = nullptr;               // microphone client, not owned
  detection::TDetectConfig *DetectConfig = nullptr; // detection settings, not owned, read-only
  TDirDefParams *DirDefParams = nullptr;            // direction settings, not owned, read-only (copied)
  int AutocalibrMode = 0;                           // non-zero: run_Autocalibr, zero: run_Hybrid
  std::thread Thread;                               // the engine thread, owned; joined by Join/Stop/destructor
  TTcpSenderSrv *JsonSender = nullptr;              // result sender, not owned; null drops the messages
  TTcpSenderSrv *SpectrSender = nullptr;            // spectrum sender, kept for main, not used here

  TMainUnionEngine() = default;
  TMainUnionEngine(const TMainUnionEngine &) = delete;
  TMainUnionEngine &operator=(const TMainUnionEngine &) = delete;
  ~TMainUnionEngine() { Stop(); }

  // Starts th_Run. Throws std::invalid_argument when Src or DetectConfig (or DirDefParams in hybrid mode) is
  // null, std::logic_error when already started.
  void StartThread();

  // Waits for the engine thread to end. Returns "" after an orderly Stop, or the one-line reason when the
  // engine or a detector thread failed (the thread then ends by itself). Call from one thread only.
  std::string Join();

  // Asks the loop to end, joins the engine thread (which stops and joins the detector set on its way out).
  // Detector threads waiting in a blocking read end only when the source delivers or is stopped, so stop the
  // source first when it may have gone quiet.
  void Stop();
  // Asks the loop to end and wakes it, without joining: for a thread other than the one waiting in Join().
  void RequestStop();

  // Progress, for a watchdog on another thread: sample blocks through the direction half, and score records
  // turned into messages, since the start (relaxed: counts only, nothing is published through them).
  std::uint64_t BlocksDone() const { return BlocksDone_.load(std::memory_order_relaxed); }
  std::uint64_t RecordsDone() const { return RecordsDone_.load(std::memory_order_relaxed); }

  void th_Run();
  void run_Hybrid();
  void run_Autocalibr();

private:
  bool StopRequested() const { return StopRequested_.load(std::memory_order_relaxed); }
  // End of one loop pass: false (with Failure_ set) when a detector thread has failed. When idle, sleeps on
  // Wake_ from the count `seen` (canSleep) or pauses briefly.
  bool FinishPass(bool busy, unsigned &passes, const detection::TX4Detectors &detectors, bool canSleep,
                  std::uint32_t seen);

  std::atomic<bool> StopRequested_{false}; // written by Stop(), read by the engine thread every pass
  // Notified by the source (new block), the detector set (new record, failure) and Stop(); the engine thread
  // sleeps on it. Outlives both: the listener registrations end before run_Hybrid/run_Autocalibr return.
  micro4::TEventCount Wake_;
  std::atomic<std::uint64_t> BlocksDone_{0};
  std::atomic<std::uint64_t> RecordsDone_{0};
  std::string Failure_; // written by the engine thread before it ends; read by Join() after the join
};

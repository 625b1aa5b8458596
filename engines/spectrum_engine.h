#pragma once
// The spectrum engine: a thread that reads one reader channel of the sample source block by block, runs it
// through a TSpectrumAnalyzer and sends every finished frame (two-byte value count, then little-endian float
// levels) to the client of the spectrum sender. main fills the fields, calls CheckBand once at start-up
// (refusing a band outside the transform) and then Start(); tests and tools call Stop().
//
// Threads: the fields are written by the owner before Start() and read-only afterwards; the engine thread is
// the only user of the analyzer and the only writer of the spectrum sender.

#include "app/tcp_sender.h"
#include "engines/spectrum_analyzer.h"
#include "micro4/samples_src.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class TSpectrumEngine {
public:
  int Channel = 0;                    // reader channel of the source (0 is array channel 4)
  TAbstractSamplesSrc *Src = nullptr; // shared sample source, not owned
  double FreqLow = 0.0;               // Hz, lower edge of the streamed band
  double FreqHigh = 0.0;              // Hz, upper edge of the streamed band
  double Reserved1 = 12.0;            // not read by the engine
  double Reserved2 = 60.0;            // not read by the engine
  std::thread Thread;                 // the engine thread, owned; joined by Stop() or the destructor
  TTcpSenderSrv *Sender = nullptr;    // spectrum sender, not owned; null drops the frames

  TSpectrumEngine() = default;
  TSpectrumEngine(const TSpectrumEngine &) = delete;
  TSpectrumEngine &operator=(const TSpectrumEngine &) = delete;
  ~TSpectrumEngine() { Stop(); }

  // "" or one line explaining why the band FreqLow..FreqHigh cannot be streamed (see TSpectrumAnalyzer).
  static std::string CheckBand(double freqLow, double freqHigh) {
    return TSpectrumAnalyzer::CheckBand(freqLow, freqHigh);
  }

  // Builds the analyzer on the calling thread and starts th_Fun. Throws std::invalid_argument when Src is null
  // or the band is refused, std::logic_error when already started.
  void Start();

  // Asks the thread to end after the block it is reading and joins it. A read that waits for a block returns
  // only when the source delivers or is stopped, so stop the source first when it may have gone quiet.
  void Stop();

  // "" while healthy; the one-line reason after the thread ended on an exception. Safe from any thread.
  std::string FailureReason() const;

  void th_Fun();

private:
  void RunLoop();

  std::unique_ptr<TSpectrumAnalyzer> Analyzer_; // built by Start(), used by the engine thread only
  std::atomic<bool> StopRequested_{false};      // written by Stop(), read by the engine thread after each block
  std::atomic<bool> Failed_{false};             // release-stored by the engine thread after Failure_ is written
  std::string Failure_;                         // written once by the engine thread before Failed_
};

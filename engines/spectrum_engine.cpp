#include "engines/spectrum_engine.h"

#include "app/frames.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

void TSpectrumEngine::Start() {
  if (Thread.joinable()) {
    throw std::logic_error("spectrum engine already started");
  }
  if (Src == nullptr) {
    throw std::invalid_argument("spectrum engine has no sample source");
  }
  Analyzer_ = std::make_unique<TSpectrumAnalyzer>(FreqLow, FreqHigh);
  StopRequested_.store(false, std::memory_order_relaxed);
  Thread = std::thread(&TSpectrumEngine::th_Fun, this);
}

void TSpectrumEngine::Stop() {
  StopRequested_.store(true, std::memory_order_relaxed);
  if (Thread.joinable()) {
    Thread.join();
  }
}

std::string TSpectrumEngine::FailureReason() const {
  return Failed_.load(std::memory_order_acquire) ? Failure_ : std::string();
}

void TSpectrumEngine::th_Fun() {
  try {
    RunLoop();
  } catch (const std::exception &e) {
    Failure_ = std::string("spectrum engine: ") + e.what();
    Failed_.store(true, std::memory_order_release);
  } catch (...) {
    Failure_ = "spectrum engine: unknown exception";
    Failed_.store(true, std::memory_order_release);
  }
}

void TSpectrumEngine::RunLoop() {
  const int blockCount = Src->BlocksCount();
  if (blockCount <= 0) {
    throw std::runtime_error("sample source reports no blocks");
  }
  int cursor = 0;
  std::vector<double> samples(400, 0.0);
  std::vector<std::uint8_t> frame;
  const auto count = static_cast<std::uint16_t>(Analyzer_->Levels().size()); // at most 2048 values
  frame.reserve(2 + 4 * static_cast<std::size_t>(count));

  // Waiting for a batch's last block first means one wake-up per batch; its blocks then read without waiting.
  const bool batched = blockCount % micro4::kReadBatchBlocks == 0;
  while (!StopRequested_.load(std::memory_order_relaxed)) {
    if (batched && cursor % micro4::kReadBatchBlocks == 0) {
      Src->AwaitBlock(cursor + micro4::kReadBatchBlocks - 1);
    }
    Src->ReadSelectedSignalsBS400(samples, cursor, Channel);
    if (StopRequested_.load(std::memory_order_relaxed)) {
      break; // the read may have returned only because the source was stopped
    }
    cursor = (cursor + 1) % blockCount;
    for (std::size_t i = 0; i < samples.size();) {
      bool framed = false;
      i += Analyzer_->PushSamples(samples.data() + i, samples.size() - i, framed);
      if (framed && Sender != nullptr) {
        EncodeSpectrumFrame(Analyzer_->Levels().data(), count, frame);
        // A frame the client cannot take is dropped whole; the stream goes on with the next one.
        Sender->SendFrame(frame.data(), frame.size());
      }
    }
  }
}

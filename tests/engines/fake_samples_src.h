#pragma once
// A sample source for the engine tests: serves whole 400-sample blocks cut from four prepared channel arrays.
// Blocks become readable as the test publishes them (all at once by default); a blocking read of a block not
// yet published polls every millisecond until it is published or the source is stopped, after which every
// read returns at once with the vector untouched. Like the array client it wakes a registered block listener
// on every Publish and on Stop (`notify` false makes it a source that cannot, so the engine's polling road is
// tried too). Any number of reader threads; the publishing side is the test thread.

#include "micro4/event_count.h"
#include "micro4/samples_src.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

class TFakeSamplesSrc final : public TAbstractSamplesSrc {
public:
  static constexpr int kBlock = 400;

  // channels[k] holds reader channel k; only whole blocks of the shortest channel are served.
  explicit TFakeSamplesSrc(std::array<std::vector<double>, 4> channels, bool publishAll = true, bool notify = true)
      : Channels_(std::move(channels)), Notify_(notify) {
    std::size_t n = Channels_[0].size();
    for (const auto &c : Channels_) {
      n = std::min(n, c.size());
    }
    Blocks_ = static_cast<int>(n / kBlock);
    Published_.store(publishAll ? Blocks_ : 0, std::memory_order_release);
  }

  int Blocks() const { return Blocks_; }
  void Publish(int blocks) {
    Published_.store(std::min(blocks, Blocks_), std::memory_order_release);
    Wake();
  }
  void Stop() {
    Stopped_.store(true, std::memory_order_release);
    Wake();
  }
  bool SetBlockListener(micro4::TEventCount *listener) override {
    const std::lock_guard<std::mutex> lock(ListenerMutex_);
    Listener_ = Notify_ ? listener : nullptr;
    return Notify_;
  }

  void ReadAllCH(std::vector<double> &c0, std::vector<double> &c1, std::vector<double> &c2, std::vector<double> &c3,
                 int index) override {
    if (Wait(index)) {
      FillAll(c0, c1, c2, c3, index);
    }
  }
  bool NonBlockReadAllCH(std::vector<double> &c0, std::vector<double> &c1, std::vector<double> &c2,
                         std::vector<double> &c3, int index) override {
    if (index >= Published_.load(std::memory_order_acquire)) {
      return false;
    }
    FillAll(c0, c1, c2, c3, index);
    return true;
  }
  void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) override {
    if (Wait(index) && channel >= 0 && channel < 4) {
      Fill(v, channel, index);
    }
  }
  // Deeper than any test's data, so block indices never wrap.
  int BlocksCount() override { return 70000; }
  bool Start() override { return true; }

private:
  void Wake() {
    const std::lock_guard<std::mutex> lock(ListenerMutex_);
    if (Listener_ != nullptr) {
      Listener_->Notify();
    }
  }
  bool Wait(int index) {
    while (index >= Published_.load(std::memory_order_acquire)) {
      if (Stopped_.load(std::memory_order_acquire)) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void FillAll(std::vector<double> &c0, std::vector<double> &c1, std::vector<double> &c2, std::vector<double> &c3,
               int index) const {
    Fill(c0, 0, index);
    Fill(c1, 1, index);
    Fill(c2, 2, index);
    Fill(c3, 3, index);
  }
  void Fill(std::vector<double> &v, int channel, int index) const {
    const auto first = Channels_[channel].begin() + static_cast<std::ptrdiff_t>(index) * kBlock;
    v.assign(first, first + kBlock);
  }

  std::array<std::vector<double>, 4> Channels_; // immutable after construction
  int Blocks_ = 0;
  std::atomic<int> Published_{0}; // blocks readable: stored with release by the test, loaded acquire by readers
  std::atomic<bool> Stopped_{false};
  bool Notify_;
  std::mutex ListenerMutex_;
  micro4::TEventCount *Listener_ = nullptr; // guarded by ListenerMutex_
};

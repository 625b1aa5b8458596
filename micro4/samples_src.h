#pragma once
// The one interface through which every consumer of sound reads samples. Blocks are 400 samples of each of
// the four channels, numbered 0 .. BlocksCount() - 1 in a ring; each reader keeps its own cursor.
// Reader channel k is array channel 4, 1, 2, 3 for k = 0, 1, 2, 3.
// No virtual destructor by design: implementations are destroyed through their own type.

#include <vector>

namespace micro4 {
class TEventCount;
// Readers that keep up with the stream take blocks in batches of this many (about 171 ms of sound): they wait for
// the batch's last block (index = multiple of the batch - 1) and then read the batch without waiting, so a
// source that wakes readers only at batch ends costs a wake-up per batch instead of one per block. The ring's
// length is a multiple of it. 16 rather than 8: half the wake-ups of the six reading threads, each of which
// starts on cold caches on a small or virtual machine, for 85 ms more latency (a score spans 136 ms anyway).
inline constexpr int kReadBatchBlocks = 16;
} // namespace micro4

class TAbstractSamplesSrc {
public:
  // Waits (asleep, or polling where a source cannot notify) until block `index` exists, then fills the four vectors
  // with exactly 400 samples each.
  virtual void ReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                         std::vector<double> &ch3, int index) = 0;
  // Returns false at once, vectors untouched, when block `index` is the one being written.
  virtual bool NonBlockReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                                 std::vector<double> &ch3, int index) = 0;
  // Waits as ReadAllCH does, then fills v with block `index` of reader channel `channel` (0..3).
  virtual void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) = 0;
  virtual int BlocksCount() = 0;
  virtual bool Start() = 0;
  // Sleeps until block `index` is published, the source stops or the stream has paused (the source's own
  // patience), reading nothing; how batch readers wait for a batch's last block. A source without that wait
  // returns at once (its reads then wait for each block).
  virtual void AwaitBlock(int index) { (void)index; }
  // Registers the one listener notified at least after every batch-ending block (see kReadBatchBlocks) and when
  // the source stops; null
  // removes it, and once that call returned the old listener is never touched again. False (nothing registered)
  // when the source cannot notify: its consumers must then look for blocks on their own.
  virtual bool SetBlockListener(micro4::TEventCount *listener) {
    (void)listener;
    return false;
  }

protected:
  TAbstractSamplesSrc() = default;
  TAbstractSamplesSrc(const TAbstractSamplesSrc &) = default;
  TAbstractSamplesSrc &operator=(const TAbstractSamplesSrc &) = default;
  ~TAbstractSamplesSrc() = default;
};

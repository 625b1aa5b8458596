#pragma once
// The one interface through which every consumer of sound reads samples. Blocks are 400 samples of each of
// the four channels, numbered 0 .. BlocksCount() - 1 in a ring; each reader keeps its own cursor.
// Reader channel k is array channel 4, 1, 2, 3 for k = 0, 1, 2, 3.
// No virtual destructor by design: implementations are destroyed through their own type.

#include <vector>

namespace micro4 {
class TEventCount;
}

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
  // Registers the one listener notified after every newly published block and when the source stops; null
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

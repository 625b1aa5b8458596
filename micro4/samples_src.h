#pragma once
// The one interface through which every consumer of sound reads samples. Blocks are 400 samples of each of
// the four channels, numbered 0 .. BlocksCount() - 1 in a ring; each reader keeps its own cursor.
// Reader channel k is array channel 4, 1, 2, 3 for k = 0, 1, 2, 3.
// No virtual destructor by design: implementations are destroyed through their own type.

#include <vector>

class TAbstractSamplesSrc {
public:
  // Waits (polling) until block `index` exists, then fills the four vectors with exactly 400 samples each.
  virtual void ReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                         std::vector<double> &ch3, int index) = 0;
  // Returns false at once, vectors untouched, when block `index` is the one being written.
  virtual bool NonBlockReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                                 std::vector<double> &ch3, int index) = 0;
  // Waits as ReadAllCH does, then fills v with block `index` of reader channel `channel` (0..3).
  virtual void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) = 0;
  virtual int BlocksCount() = 0;
  virtual bool Start() = 0;

protected:
  TAbstractSamplesSrc() = default;
  TAbstractSamplesSrc(const TAbstractSamplesSrc &) = default;
  TAbstractSamplesSrc &operator=(const TAbstractSamplesSrc &) = default;
  ~TAbstractSamplesSrc() = default;
};

#pragma once
// Running median, by magnitude, over the complex spectrum of one frame: Out[s] is the entry of median
// magnitude among X[s - Wnd .. s + Wnd], zeros standing for the bins before 0. Owned and called by one feature
// processor, on its detector thread.
//
// The window is kept as a sorted run of 2 Wnd + 1 (magnitude, slot) pairs in two flat arrays, the entries
// living in a ring of slots whose sorted positions are tracked. Per bin, the leaving entry's position is
// looked up, the arriving one's place is found by binary search, and the pairs between the two places move
// by one slot. For the window sizes used (MF_Wnd 5 .. 20, at most 41 entries,
// a few cache lines) that move is a handful of contiguous loads and stores and beats a pair of heaps or a
// tree, whose per-step bookkeeping and pointer chasing cost more than shifting on average 2 Wnd / 3 doubles.

#include <complex>
#include <cstdint>
#include <vector>

namespace pvc2 {

class TMedianFilter {
public:
  // `wnd` >= 0 is the half-width (the window spans 2 wnd + 1 values), `nBins` the number of outputs. The
  // spectrum passed to Process must hold at least wnd + nBins values.
  TMedianFilter(std::int32_t wnd, std::int32_t nBins);

  // Fills Out[0 .. NBins) from the spectrum X. Never allocates.
  void Process(const std::vector<std::complex<double>> &X);

  std::vector<std::complex<double>> Out;
  std::int32_t Wnd;
  std::int32_t NBins;

private:
  // Ordering key of spectrum bin k: its magnitude, a NaN sorting as the largest (+inf) so that the order
  // stays strict-weak. Filled for bins 0 .. Wnd + NBins at the start of each Process.
  std::vector<double> key_;
  std::vector<double> sortedKey_;        // the window's keys, ascending
  std::vector<std::int32_t> sortedSlot_; // the ring slot of each sorted key
  std::vector<std::int32_t> pos_;        // pos_[slot]: where the slot's entry sorts
  std::vector<std::int32_t> slotBin_;    // the bin held by each slot; negative for the leading zeros
};

} // namespace pvc2

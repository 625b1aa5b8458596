#pragma once
// Running median, by magnitude, over the complex spectrum of one frame: Out[s] is the entry of median
// magnitude among X[s - Wnd .. s + Wnd], zeros standing for the bins before 0. Equal magnitudes rank by bin,
// the lower bin first, as a stable sort of the window would leave them. Owned and called by one feature
// processor, on its detector thread.
//
// The window is never sorted. Its 2 Wnd + 1 entries live in a ring of slots, in ring order, each with its
// rank (its place in the sorted window). Per bin the oldest entry leaves and the new one takes its slot: every
// other rank moves down by one if it was above the leaving rank and up by one if the new key sorts below it,
// and the new entry's rank is the count of keys not above its own. The median is the slot whose rank is Wnd.
// All of that is the same few compares and adds on every slot, with no branch and no data-dependent move, so
// it runs on vectors of four doubles; for the window sizes used (MF_Wnd 5 .. 30, at most 61 slots, 16
// vectors) that beats keeping the window sorted, whose shifts and position updates are short loops of
// unpredictable length. Where the CPU has AVX2 the ranks are bytes, every slot in one or two registers, and the
// key compares are bit masks (see SlideBytes): about three times fewer instructions per bin.

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
  // residual[s] = X[s] - Out[s] for s < NBins, the same values, without filling Out (left as it was).
  void ProcessResidual(const std::vector<std::complex<double>> &X, std::complex<double> *residual);

  std::vector<std::complex<double>> Out;
  std::int32_t Wnd;
  std::int32_t NBins;
  // Whether Process runs the byte-rank kernel: set at construction where the CPU has AVX2 and the window has at
  // most 63 slots. Both kernels give the same outputs; clearing it runs the portable one (tests compare them).
  bool Wide;

  // Four doubles, the unit the ring is processed in.
  struct alignas(32) TLane4 {
    double v[4];
  };

private:
  void Rank(const std::vector<std::complex<double>> &X); // the median's bin per output, into medBin_

  // Ordering key of spectrum bin k: its magnitude, a NaN sorting as the largest (+inf) so that the order
  // stays strict-weak. Wnd + 1 zeros for the bins before 0, then bins 0 .. Wnd + NBins, filled at the start of
  // each Process.
  std::vector<double> key_;
  // Per ring slot, padded to whole TLane4s: the key held (NaN in the padding, so that it compares false with
  // everything) and its rank, an exact small integer held as a double so that keys and ranks share one mask
  // width (-1e9 in the padding: never above a leaving rank, never the median's).
  std::vector<TLane4> ringKey_;
  std::vector<TLane4> ringRank_;
  std::vector<double> rArrive_;        // per output, the rank the arriving entry takes
  std::vector<std::int32_t> medBin_;   // per output, the bin of the median (negative: a leading zero)
  std::vector<std::int8_t> rankBytes_; // the byte-rank kernel's ring: a rank per slot, 64 slots
};

} // namespace pvc2

#pragma once
// Running median, by magnitude, over the complex spectrum of one frame: Out[s] is the entry of median
// magnitude among X[s - Wnd .. s + Wnd], zeros standing for the bins before 0. The window is kept sorted
// incrementally (one removal and one insertion per bin). Owned and called by one feature processor, on its
// detector thread.

#include <complex>
#include <cstdint>
#include <vector>

namespace pvc2 {

// One median-window entry: `index` is the entry's age order (entries 0 .. Wnd are the leading zeros, entry
// Wnd + 1 + k is spectrum bin k).
struct TMfBufRec {
  std::complex<double> value;
  double mag = 0.0;
  std::int32_t index = 0;
};

class TMedianFilter {
public:
  // `wnd` is the half-width (the window spans 2 wnd + 1 values), `nBins` the number of outputs. The
  // spectrum passed to Process must hold at least wnd + nBins values.
  TMedianFilter(std::int32_t wnd, std::int32_t nBins);

  // Fills Out[0 .. NBins) from the spectrum X.
  void Process(const std::vector<std::complex<double>> &X);

  std::vector<TMfBufRec> Buf;
  std::vector<std::complex<double>> Out;
  std::int32_t Wnd;
  std::int32_t Step = 0;
  std::int32_t RemovePos = 0;
  std::int32_t NBins;
};

} // namespace pvc2

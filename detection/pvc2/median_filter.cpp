#include "detection/pvc2/median_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace pvc2 {

namespace {

// Magnitude used for ordering. A NaN would break the strict ordering the sort relies on, so it sorts as the
// largest magnitude; a finite spectrum is unaffected.
double OrderMag(const std::complex<double> &z) {
  const double m = std::abs(z);
  return std::isnan(m) ? std::numeric_limits<double>::infinity() : m;
}

} // namespace

TMedianFilter::TMedianFilter(std::int32_t wnd, std::int32_t nBins)
    : Buf(static_cast<std::size_t>(2 * wnd + 1)), Out(static_cast<std::size_t>(nBins)), Wnd(wnd), NBins(nBins) {}

void TMedianFilter::Process(const std::vector<std::complex<double>> &X) {
  const std::int32_t W = Wnd;
  const std::int32_t size = 2 * W + 1;
  assert(X.size() >= static_cast<std::size_t>(W + NBins));
  for (std::int32_t i = 0; i <= W; ++i) {
    Buf[i] = TMfBufRec{{0.0, 0.0}, 0.0, i};
  }
  for (std::int32_t k = 0; k < W; ++k) {
    Buf[W + 1 + k] = TMfBufRec{X[k], OrderMag(X[k]), W + 1 + k};
  }
  std::sort(Buf.begin(), Buf.end(), [](const TMfBufRec &a, const TMfBufRec &b) { return a.mag < b.mag; });

  for (std::int32_t s = 0; s < NBins; ++s) {
    Step = s;
    RemovePos = 0;
    while (Buf[RemovePos].index != s) {
      ++RemovePos;
    }
    const TMfBufRec fresh{X[W + s], OrderMag(X[W + s]), s + 2 * W + 1};
    const double L = fresh.mag;

    // First position whose magnitude is >= L, searched with the removed entry still in place.
    std::int32_t low = 0;
    std::int32_t high = size - 1;
    while (low <= high) {
      const std::int32_t mid = low + (high - low) / 2;
      if (L > Buf[mid].mag) {
        low = mid + 1;
      } else {
        high = mid - 1;
      }
    }
    const std::int32_t p = low;
    std::int32_t j = 0;
    if (p == 0) {
      j = -1;
    } else if (p == size) {
      j = size - 1;
    } else {
      j = Buf[p].mag > L ? p - 1 : p;
    }

    if (j < RemovePos) {
      for (std::int32_t i = RemovePos; i > j + 1; --i) {
        Buf[i] = Buf[i - 1];
      }
      Buf[j + 1] = fresh;
    } else if (j > RemovePos) {
      for (std::int32_t i = RemovePos; i < j; ++i) {
        Buf[i] = Buf[i + 1];
      }
      Buf[j] = fresh;
    } else {
      Buf[j] = fresh;
    }
    Out[s] = Buf[W].value;
  }
}

} // namespace pvc2

#include "detection/pvc2/median_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "dsp/magnitude.h"

namespace pvc2 {

namespace {

// First position in [0, size) whose key is >= v (size when none), as the count of keys below v: for windows of
// a few dozen entries a branch-free count that the compiler vectorises beats a binary search, whose dependent
// loads and unpredictable comparisons dominate at these sizes.
std::int32_t LowerBound(const double *keys, std::int32_t size, double v) {
  std::int32_t below = 0;
  for (std::int32_t i = 0; i < size; ++i) {
    below += keys[i] < v ? 1 : 0;
  }
  return below;
}

} // namespace

TMedianFilter::TMedianFilter(std::int32_t wnd, std::int32_t nBins)
    : Out(static_cast<std::size_t>(nBins)), Wnd(wnd), NBins(nBins), key_(static_cast<std::size_t>(wnd + nBins)),
      sortedKey_(static_cast<std::size_t>(2 * wnd + 1)), sortedSlot_(static_cast<std::size_t>(2 * wnd + 1)),
      pos_(static_cast<std::size_t>(2 * wnd + 1)), slotBin_(static_cast<std::size_t>(2 * wnd + 1)) {
  assert(wnd >= 0 && nBins >= 0);
}

void TMedianFilter::Process(const std::vector<std::complex<double>> &X) {
  const std::int32_t W = Wnd;
  const std::int32_t size = 2 * W + 1;
  assert(X.size() >= static_cast<std::size_t>(W + NBins));
  double *key = key_.data();
  dsp::Magnitudes(X.data(), key_.size(), key);
  for (double &k : key_) {
    if (std::isnan(k)) {
      k = std::numeric_limits<double>::infinity();
    }
  }

  // Entries live in ring slots: bin b (b >= -W - 1) in slot (b + W + 1) mod (2W + 1), so the bin arriving at
  // step s takes the slot of the one leaving, slot s mod (2W + 1), and pos_ says where that slot sorts.
  double *sk = sortedKey_.data();
  std::int32_t *ss = sortedSlot_.data();
  std::int32_t *pos = pos_.data();
  std::int32_t *bin = slotBin_.data();
  // The window before bin 0: the W + 1 leading zeros (bins -W - 1 .. -1) and bins 0 .. W - 1.
  for (std::int32_t i = 0; i <= W; ++i) {
    sk[i] = 0.0;
    ss[i] = i;
    bin[i] = i - W - 1;
  }
  for (std::int32_t k = 0; k < W; ++k) {
    sk[W + 1 + k] = key[k];
    ss[W + 1 + k] = W + 1 + k;
    bin[W + 1 + k] = k;
  }
  // Insertion sort: the window is small, and the zeros already lead.
  for (std::int32_t i = W + 1; i < size; ++i) {
    const double v = sk[i];
    const std::int32_t e = ss[i];
    std::int32_t j = i;
    for (; j > 0 && sk[j - 1] > v; --j) {
      sk[j] = sk[j - 1];
      ss[j] = ss[j - 1];
    }
    sk[j] = v;
    ss[j] = e;
  }
  for (std::int32_t i = 0; i < size; ++i) {
    pos[ss[i]] = i;
  }

  std::int32_t slot = 0;
  for (std::int32_t s = 0; s < NBins; ++s) {
    // Bin s - W - 1 leaves, bin s + W arrives in its slot.
    const std::int32_t r = pos[slot];
    const std::int32_t arriving = s + W;
    const double v = key[arriving];
    const std::int32_t p = LowerBound(sk, size, v); // counts the leaving entry when it sorts below v
    std::int32_t at = p;
    if (p > r) {
      at = p - 1;
      for (std::int32_t i = r; i < at; ++i) {
        sk[i] = sk[i + 1];
        ss[i] = ss[i + 1];
        pos[ss[i]] = i;
      }
    } else {
      for (std::int32_t i = r; i > p; --i) {
        sk[i] = sk[i - 1];
        ss[i] = ss[i - 1];
        pos[ss[i]] = i;
      }
    }
    sk[at] = v;
    ss[at] = slot;
    pos[slot] = at;
    bin[slot] = arriving;
    slot = slot + 1 == size ? 0 : slot + 1;
    const std::int32_t mid = bin[ss[W]];
    Out[s] = mid < 0 ? std::complex<double>(0.0, 0.0) : X[mid];
  }
}

} // namespace pvc2

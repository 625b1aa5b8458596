#include "detection/pvc2/median_filter.h"
#include "dsp/multiversion.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "dsp/magnitude.h"

namespace pvc2 {

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

// The sliding loop over bins 0 .. nBins. `key` points at bin 0 of the keys, with W + 1 zeros before it for the
// leading bins. On entry the ring holds the window before bin 0 (bins -W - 1 .. W - 1, bin b in slot
// (b + W + 1) mod (2W + 1)) with its ranks; writes the median's bin per output into medBin. NV > 0 fixes the
// number of vectors at compile time (nVec otherwise), so the shipped window's loops unroll. Cloned for AVX2,
// where the four-double vectors are single registers; the default clone runs them as pairs.
template <std::int32_t NV>
ORMELIN_WIDE_VECTORS void Slide(const double *key, std::int32_t W, std::int32_t nBins,
                                                             TMedianFilter::TLane4 *kr, TMedianFilter::TLane4 *rk,
                                                             std::int32_t nVec, double *rArrive, std::int32_t *medBin) {
  const std::int32_t size = 2 * W + 1;
  if (NV > 0) {
    nVec = NV;
  }
  // The arriving entry's rank depends on the keys alone, not on the ranks, so it is counted for every bin first,
  // off the loop-carried path: bin s + W is the newest, so it sorts after every key equal to its own, and its
  // rank is the count of the other 2W keys (bins s - W .. s + W - 1) that are not above it.
  const v4d one = {1.0, 1.0, 1.0, 1.0};
  const v4d zero = {0.0, 0.0, 0.0, 0.0};
  for (std::int32_t s = 0; s < nBins; ++s) {
    const double v = key[s + W];
    const v4d vv = v - zero;
    const double *win = key + s - W;
    v4d above = zero;
    std::int32_t i = 0;
    for (; i + 4 <= 2 * W; i += 4) {
      v4d k;
      std::memcpy(&k, win + i, sizeof k);
      above += k > vv ? one : zero;
    }
    double n = above[0] + above[1] + above[2] + above[3];
    for (; i < 2 * W; ++i) {
      n += win[i] > v ? 1.0 : 0.0;
    }
    rArrive[s] = static_cast<double>(2 * W) - n;
  }
  const v4d medRank = static_cast<double>(W) - zero;
  std::int32_t slot = 0;
  for (std::int32_t s = 0; s < nBins; ++s) {
    // Bin s - W - 1 leaves slot `slot`; bin s + W arrives in it.
    const v4d vv = key[s + W] - zero;
    const v4d rl = rk[slot / 4].v[slot % 4] - zero;
    const v4d ra = rArrive[s] - zero;
    const v4d at = static_cast<double>(slot) - zero;
    v4d lane = {0.0, 1.0, 2.0, 3.0};
    v4d med = zero;
    for (std::int32_t i = 0; i < nVec; ++i) {
      v4d k;
      v4d r;
      std::memcpy(&k, kr[i].v, sizeof k);
      std::memcpy(&r, rk[i].v, sizeof r);
      const v4i here = lane == at;
      const v4d moved = r - (r > rl ? one : zero) + (k > vv ? one : zero);
      const v4d nr = here ? ra : moved;
      const v4d nk = here ? vv : k;
      std::memcpy(rk[i].v, &nr, sizeof nr);
      std::memcpy(kr[i].v, &nk, sizeof nk);
      med += nr == medRank ? lane : zero;
      lane += 4.0;
    }
    const auto medSlot = static_cast<std::int32_t>(med[0] + med[1] + med[2] + med[3]);
    // The arriving bin s + W sits in `slot`; the slot d places before it holds the bin d places older.
    std::int32_t back = slot - medSlot;
    back += back < 0 ? size : 0;
    medBin[s] = s + W - back;
    slot = slot + 1 == size ? 0 : slot + 1;
  }
}

} // namespace

TMedianFilter::TMedianFilter(std::int32_t wnd, std::int32_t nBins)
    : Out(static_cast<std::size_t>(nBins)), Wnd(wnd), NBins(nBins),
      key_(static_cast<std::size_t>(wnd + 1 + wnd + nBins), 0.0),
      ringKey_(static_cast<std::size_t>((2 * wnd + 1 + 3) / 4)), ringRank_(ringKey_.size()),
      rArrive_(static_cast<std::size_t>(nBins)), medBin_(static_cast<std::size_t>(nBins)) {
  assert(wnd >= 0 && nBins >= 0);
}

void TMedianFilter::Process(const std::vector<std::complex<double>> &X) {
  const std::int32_t W = Wnd;
  const std::int32_t size = 2 * W + 1;
  assert(X.size() >= static_cast<std::size_t>(W + NBins));
  // key_ holds W + 1 zeros (the leading bins, never overwritten) and then the keys of bins 0 .. W + NBins.
  double *key = key_.data() + W + 1;
  const auto nKeys = static_cast<std::size_t>(W + NBins);
  dsp::Magnitudes(X.data(), nKeys, key);
  for (std::size_t k = 0; k < nKeys; ++k) {
    if (std::isnan(key[k])) {
      key[k] = std::numeric_limits<double>::infinity();
    }
  }

  // The window before bin 0: slot j holds bin j - W - 1, the W + 1 leading zeros then bins 0 .. W - 1, so slot
  // order is bin order and each rank is the stable-sort place: keys below, plus equal keys in earlier slots.
  TLane4 *kr = ringKey_.data();
  TLane4 *rk = ringRank_.data();
  const auto nVec = static_cast<std::int32_t>(ringKey_.size());
  for (std::int32_t j = 0; j < 4 * nVec; ++j) {
    kr[j / 4].v[j % 4] = j < size ? (j <= W ? 0.0 : key[j - W - 1]) : std::numeric_limits<double>::quiet_NaN();
  }
  // Keys are never negative, so the zeros rank first, in slot order, and the bins after them.
  for (std::int32_t j = 0; j < 4 * nVec; ++j) {
    std::int32_t rank = -1000000000;
    if (j <= W) {
      rank = j;
    } else if (j < size) {
      const double kj = key[j - W - 1];
      rank = W + 1;
      for (std::int32_t i = 0; i < W; ++i) {
        rank += (key[i] < kj || (key[i] == kj && i < j - W - 1)) ? 1 : 0;
      }
    }
    rk[j / 4].v[j % 4] = rank;
  }

  // The shipped window (MF_Wnd 10, 21 slots) gets the unrolled loop.
  if (nVec == 6) {
    Slide<6>(key, W, NBins, kr, rk, nVec, rArrive_.data(), medBin_.data());
  } else {
    Slide<0>(key, W, NBins, kr, rk, nVec, rArrive_.data(), medBin_.data());
  }
  for (std::int32_t s = 0; s < NBins; ++s) {
    const std::int32_t b = medBin_[s];
    Out[s] = b < 0 ? std::complex<double>(0.0, 0.0) : X[b];
  }
}

} // namespace pvc2

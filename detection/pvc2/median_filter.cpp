#include "detection/pvc2/median_filter.h"
#include "dsp/multiversion.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORMELIN_MEDIAN_AVX2 1
#endif

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
ORMELIN_WIDE_VECTORS void Slide(const double *key, std::int32_t W, std::int32_t nBins, TMedianFilter::TLane4 *kr,
                                TMedianFilter::TLane4 *rk, std::int32_t nVec, double *rArrive, std::int32_t *medBin) {
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

#ifdef ORMELIN_MEDIAN_AVX2
// The same slide with the window in bin order instead of a ring: the ranks as bytes, position i for bin
// s - W - 1 + i, all of them (at most 64) in one or two AVX2 registers that shift down one byte per bin, so the
// leaving rank is always byte 0 and the arrival always takes byte 2W. The key compares are a bit mask: bit i is
// the key at position i above the arriving key, the 2W + 1 keys compared at once straight from the key array,
// where they lie in the same order; its population count, position 0 (the leaving bin) left out, gives the
// arriving rank. `key` must be readable up to 3 values past bin nBins + W - 1. `rank` holds the ranks of the
// window before bin 0, the same order as the ring's slots then, as bytes (64 of them, -100 past the window:
// never above a leaving rank, never the median's).
#define ORMELIN_AVX2_TARGET __attribute__((target("avx2,bmi,popcnt")))

// 32 bits to 32 bytes, -1 where the bit is set: byte j tests bit j % 8 of byte j / 8, `spread` picking the byte and
// `bitSel` the bit.
ORMELIN_AVX2_TARGET inline __m256i ExpandBits(std::uint32_t bits, __m256i spread, __m256i bitSel) {
  const __m256i b = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
  return _mm256_cmpeq_epi8(_mm256_and_si256(b, bitSel), bitSel);
}

// The 64 bytes hi:lo moved down by one byte, `fill` entering at the top.
ORMELIN_AVX2_TARGET inline void ShiftDown(__m256i &lo, __m256i &hi, __m256i fill) {
  lo = _mm256_alignr_epi8(_mm256_permute2x128_si256(lo, hi, 0x21), lo, 1);
  hi = _mm256_alignr_epi8(_mm256_permute2x128_si256(hi, fill, 0x21), hi, 1);
}

// NB registers of ranks (1: at most 32 positions, 2: at most 64). NC > 0 fixes the number of four-key compares per
// bin, (2W + 1 + 3) / 4, at compile time so that they unroll.
template <int NB, std::int32_t NC>
ORMELIN_AVX2_TARGET void SlideBytes(const double *key, std::int32_t W, std::int32_t nBins, const std::int8_t *rank,
                                    std::int32_t *medBin) {
  const std::int32_t size = 2 * W + 1;
  const std::uint64_t used = (std::uint64_t{1} << size) - 1; // size <= 63
  const std::int32_t nCmp = NC > 0 ? NC : (size + 3) / 4;
  const __m256i spread =
      _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
  const __m256i bitSel = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
  const __m256i medRank = _mm256_set1_epi8(static_cast<char>(W));
  const __m256i fill = _mm256_set1_epi8(-100);
  // -1 at the arriving position, 2W, in whichever register holds it.
  alignas(32) std::int8_t arrive[64] = {};
  arrive[static_cast<std::size_t>(2) * W] = -1;
  const __m256i arrive0 = _mm256_load_si256(reinterpret_cast<const __m256i *>(arrive));
  const __m256i arrive1 = _mm256_load_si256(reinterpret_cast<const __m256i *>(arrive + 32));
  __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rank));
  __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rank + 32));
  for (std::int32_t s = 0; s < nBins; ++s) {
    const __m256d v = _mm256_broadcast_sd(key + s + W);
    const double *win = key + s - W - 1;
    std::uint64_t m = 0;
    for (std::int32_t c = 0; c < nCmp; ++c) {
      const __m256d k = _mm256_loadu_pd(win + static_cast<std::ptrdiff_t>(4) * c);
      m |= static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(k, v, _CMP_GT_OQ))) << (4 * c);
    }
    m &= used;
    // The arriving bin sorts after every equal key: its rank is the count of the other 2W keys not above it.
    const __m256i ra = _mm256_set1_epi8(static_cast<char>(2LL * W - _mm_popcnt_u64(m >> 1)));
    // Every rank above the leaving one moves down, every key above the arriving one moves up; then the window
    // moves on by one bin and the arrival takes the top position.
    const __m256i rl = _mm256_broadcastb_epi8(_mm256_castsi256_si128(r0));
    r0 = _mm256_sub_epi8(_mm256_add_epi8(r0, _mm256_cmpgt_epi8(r0, rl)),
                         ExpandBits(static_cast<std::uint32_t>(m), spread, bitSel));
    if (NB == 2) {
      r1 = _mm256_sub_epi8(_mm256_add_epi8(r1, _mm256_cmpgt_epi8(r1, rl)),
                           ExpandBits(static_cast<std::uint32_t>(m >> 32), spread, bitSel));
    }
    ShiftDown(r0, r1, fill);
    r0 = _mm256_blendv_epi8(r0, ra, arrive0);
    auto isMed =
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(r0, medRank))));
    if (NB == 2) {
      r1 = _mm256_blendv_epi8(r1, ra, arrive1);
      isMed |=
          static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(r1, medRank))))
          << 32;
    }
    // Position p now holds bin s - W + p.
    medBin[s] = s - W + static_cast<std::int32_t>(_tzcnt_u64(isMed));
  }
}
#endif

// The byte-rank kernel from the ring's ranks `rk` (rankBytes: its 64-byte scratch); false where it is not built,
// and the caller runs the portable one.
bool SlideWide(const double *key, std::int32_t W, std::int32_t nBins, const TMedianFilter::TLane4 *rk,
               std::int8_t *rankBytes, std::int32_t *medBin) {
#ifdef ORMELIN_MEDIAN_AVX2
  const std::int32_t size = 2 * W + 1;
  for (std::int32_t j = 0; j < 64; ++j) {
    rankBytes[j] = static_cast<std::int8_t>(j < size ? static_cast<std::int32_t>(rk[j / 4].v[j % 4]) : -100);
  }
  if (size == 21) { // the shipped window, MF_Wnd 10
    SlideBytes<1, 6>(key, W, nBins, rankBytes, medBin);
  } else if (size <= 32) {
    SlideBytes<1, 0>(key, W, nBins, rankBytes, medBin);
  } else {
    SlideBytes<2, 0>(key, W, nBins, rankBytes, medBin);
  }
  return true;
#else
  (void)key, (void)W, (void)nBins, (void)rk, (void)rankBytes, (void)medBin;
  return false;
#endif
}

} // namespace

TMedianFilter::TMedianFilter(std::int32_t wnd, std::int32_t nBins)
    : Out(static_cast<std::size_t>(nBins)), Wnd(wnd), NBins(nBins), Wide(false),
      key_(static_cast<std::size_t>(wnd + 1 + wnd + nBins + 4), 0.0),
      ringKey_(static_cast<std::size_t>((2 * wnd + 1 + 3) / 4)), ringRank_(ringKey_.size()),
      rArrive_(static_cast<std::size_t>(nBins)), medBin_(static_cast<std::size_t>(nBins)), rankBytes_(64) {
  assert(wnd >= 0 && nBins >= 0);
#ifdef ORMELIN_MEDIAN_AVX2
  Wide = 2 * wnd + 1 <= 63 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("popcnt");
#endif
}

void TMedianFilter::Process(const std::vector<std::complex<double>> &X) {
  Rank(X);
  for (std::int32_t s = 0; s < NBins; ++s) {
    const std::int32_t b = medBin_[s];
    Out[s] = b < 0 ? std::complex<double>(0.0, 0.0) : X[b];
  }
}

void TMedianFilter::ProcessResidual(const std::vector<std::complex<double>> &X, std::complex<double> *residual) {
  Rank(X);
  // X[s] - Out[s] as Process would leave Out: the real and imaginary differences, 0 for a leading zero.
  const double *x = reinterpret_cast<const double *>(X.data());
  double *r = reinterpret_cast<double *>(residual);
  for (std::size_t s = 0; s < static_cast<std::size_t>(NBins); ++s) {
    const std::int32_t b = medBin_[s];
    const std::size_t at = b < 0 ? 0 : 2 * static_cast<std::size_t>(b);
    const double mr = b < 0 ? 0.0 : x[at];
    const double mi = b < 0 ? 0.0 : x[at + 1];
    r[2 * s] = x[2 * s] - mr;
    r[2 * s + 1] = x[2 * s + 1] - mi;
  }
}

void TMedianFilter::Rank(const std::vector<std::complex<double>> &X) {
  const std::int32_t W = Wnd;
  const std::int32_t size = 2 * W + 1;
  assert(X.size() >= static_cast<std::size_t>(W + NBins));
  // key_ holds W + 1 zeros (the leading bins, never overwritten) and then the keys of bins 0 .. W + NBins.
  double *key = key_.data() + W + 1;
  const std::size_t nKeys = static_cast<std::size_t>(W) + static_cast<std::size_t>(NBins);
  dsp::Magnitudes(X.data(), nKeys, key);
  for (std::size_t k = 0; k < nKeys; ++k) {
    key[k] = std::isnan(key[k]) ? std::numeric_limits<double>::infinity() : key[k]; // a select, no branch
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
        rank += static_cast<std::int32_t>(key[i] < kj) | (static_cast<std::int32_t>(key[i] == kj) & (i < j - W - 1));
      }
    }
    rk[j / 4].v[j % 4] = rank;
  }

  if (!(Wide && SlideWide(key, W, NBins, rk, rankBytes_.data(), medBin_.data()))) {
    // The shipped window (MF_Wnd 10, 21 slots) gets the unrolled loop.
    if (nVec == 6) {
      Slide<6>(key, W, NBins, kr, rk, nVec, rArrive_.data(), medBin_.data());
    } else {
      Slide<0>(key, W, NBins, kr, rk, nVec, rArrive_.data(), medBin_.data());
    }
  }
}

} // namespace pvc2

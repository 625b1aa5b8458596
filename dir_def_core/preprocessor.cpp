#include "dir_def_core/preprocessor.h"
#include "dsp/multiversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace dir_def_core {
namespace {

constexpr double kTwoPiDesign = 6.283185307179586;

// sin(a)/a scaled: 2 g sin(2 pi g x) / (2 pi g x), with its limit 2 g where the argument is exactly 0.
double SincKernel(double g, double x) {
  const double a = kTwoPiDesign * g * x;
  if (a == 0.0) {
    return 2.0 * g;
  }
  return 2.0 * g * std::sin(a) / a;
}

constexpr int kTaps = TLowPassFilter::kTaps;
constexpr auto kHistory = static_cast<std::size_t>(kTaps - 1); // older inputs the newest output needs

constexpr int kMiddle = (kTaps - 1) / 2; // the taps are symmetric about this one

// One output: sum over m of line[m] h[m]. The taps are symmetric (h[m] = h[76 - m], made exact when they are
// built), so each pair of inputs sharing a tap is added first and multiplied once: m = 0 .. 37 in increasing
// order from 0.0, then the middle tap. Both filter entry points keep exactly this order, so their outputs are
// identical.
double DotTaps(const double *line, const double *h) {
  double y = 0.0;
  for (int m = 0; m < kMiddle; ++m) {
    y += (line[m] + line[kTaps - 1 - m]) * h[m];
  }
  y += line[kMiddle] * h[kMiddle];
  return y;
}

// Eight doubles; GCC lowers the operations to one AVX-512 instruction, two AVX ones or four SSE2 ones. Loads and
// stores at any sample offset go through memcpy, which compiles to unaligned moves.
typedef double TVec8 __attribute__((vector_size(64)));

// out[r][s] = in[s][r]: eight vectors of eight transposed, in three rounds of pairwise shuffles
// (__builtin_shufflevector: element i of the pair (a, b) is a[i] for i < 8, else b[i - 8]; g++ and clang alike).
[[gnu::always_inline]] inline void Transpose8(const TVec8 *in, TVec8 *out) {
  TVec8 t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = __builtin_shufflevector(in[i], in[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    t[i + 1] = __builtin_shufflevector(in[i], in[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  TVec8 u[8];
  for (int i = 0; i < 8; i += 4) {
    u[i] = __builtin_shufflevector(t[i], t[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
    u[i + 2] = __builtin_shufflevector(t[i], t[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    u[i + 1] = __builtin_shufflevector(t[i + 1], t[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
    u[i + 3] = __builtin_shufflevector(t[i + 1], t[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
  }
  for (int i = 0; i < 4; ++i) {
    out[i] = __builtin_shufflevector(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    out[i + 4] = __builtin_shufflevector(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// The transposed kernel's chunk: eight runs of kSeg consecutive outputs, one run per lane, so that the input a tap
// needs for all eight lanes is one whole row (line[s kSeg + r] in lane s of row r) and every load is aligned: the
// plain kernel's loads at every sample offset split cache lines seven times in eight.
constexpr std::size_t kSeg = 32;
constexpr std::size_t kSegRows = kSeg + kHistory;         // input rows a chunk uses
constexpr std::size_t kSegRowBlocks = (kSegRows + 7) / 8; // built eight rows at a time
static_assert(TLowPassFilter::kReadPast == kSegRowBlocks * 8 - kSegRows, "the line's padding is what a chunk reads");

// y[j] = DotTaps(line + j, h) for j < count; line must be readable kReadPast values past its last input. Every
// output adds its terms in DotTaps' order (no reassociation, so the numbers are the same), many outputs side by
// side: chunks of 8 kSeg outputs in the transposed layout, four rows at a time so that four independent sums hide
// the adder latency; what is left in tiles of 32 consecutive outputs (four vector accumulators fed by unaligned
// loads), then one by one.
ORMELIN_WIDEST_VECTORS void FirOutputs(const double *line, const double *h, std::size_t count, double *y) {
  std::size_t j = 0;
  for (; j + 8 * kSeg <= count; j += 8 * kSeg) {
    const double *x = line + j;
    alignas(64) TVec8 rows[kSegRowBlocks * 8];
    for (std::size_t b = 0; b < kSegRowBlocks; ++b) {
      TVec8 a[8];
      for (std::size_t s = 0; s < 8; ++s) {
        std::memcpy(&a[s], x + s * kSeg + 8 * b, sizeof a[s]);
      }
      Transpose8(a, rows + 8 * b);
    }
    alignas(64) TVec8 outRows[kSeg];
    for (std::size_t r = 0; r < kSeg; r += 4) {
      TVec8 acc[4] = {};
      for (int m = 0; m < kMiddle; ++m) {
        const double c = h[m];
        const std::size_t lo = r + static_cast<std::size_t>(m);
        const std::size_t hi = r + static_cast<std::size_t>(kTaps - 1 - m);
        for (std::size_t o = 0; o < 4; ++o) {
          acc[o] += (rows[lo + o] + rows[hi + o]) * c;
        }
      }
      for (std::size_t o = 0; o < 4; ++o) {
        outRows[r + o] = acc[o] + rows[r + kMiddle + o] * h[kMiddle];
      }
    }
    for (std::size_t b = 0; b < kSeg / 8; ++b) {
      TVec8 t[8];
      Transpose8(outRows + 8 * b, t);
      for (std::size_t s = 0; s < 8; ++s) {
        std::memcpy(y + j + s * kSeg + 8 * b, &t[s], sizeof t[s]);
      }
    }
  }
  constexpr std::size_t kTile = 32;
  for (; j + kTile <= count; j += kTile) {
    TVec8 a0{}, a1{}, a2{}, a3{};
    // Tap m for the 32 outputs; its partner input, span samples later, shares the coefficient (span 0: the
    // middle tap, alone).
    const auto pass = [&](int m, std::size_t span) {
      const double c = h[m];
      const double *x = line + j + static_cast<std::size_t>(m);
      const auto mac = [&](TVec8 &acc, std::size_t at) {
        TVec8 v;
        std::memcpy(&v, x + at, sizeof v);
        if (span != 0) {
          TVec8 w;
          std::memcpy(&w, x + at + span, sizeof w);
          v += w;
        }
        acc += v * c;
      };
      mac(a0, 0);
      mac(a1, 8);
      mac(a2, 16);
      mac(a3, 24);
    };
    for (int m = 0; m < kMiddle; ++m) {
      pass(m, static_cast<std::size_t>(kTaps - 1 - 2 * m));
    }
    pass(kMiddle, 0);
    const auto store = [](double *p, const TVec8 &v) { std::memcpy(p, &v, sizeof v); };
    store(y + j, a0);
    store(y + j + 8, a1);
    store(y + j + 16, a2);
    store(y + j + 24, a3);
  }
  for (; j < count; ++j) {
    y[j] = DotTaps(line + j, h);
  }
}

} // namespace

TLowPassFilter::TLowPassFilter(double fLow_hz, double fHigh_hz, double fSampling_hz)
    : Line(kHistory + kChunk + kReadPast, 0.0) {
  if (!std::isfinite(fSampling_hz) || fSampling_hz == 0.0) {
    throw std::invalid_argument("filter sampling rate must be finite and non-zero");
  }
  const double gH = fHigh_hz / (2.0 * fSampling_hz);
  const double gL = fLow_hz / (2.0 * fSampling_hz);
  const int middle = (kTaps - 1) / 2;
  const double span = kTaps - 1; // the window runs over 76 intervals, not 77
  Coefs.reserve(kTaps);
  for (int n = 0; n < kTaps; ++n) {
    const double x = n - middle;
    const double t = kTwoPiDesign * n / span;
    // Four-term Blackman-Nuttall window.
    const double w =
        0.3635819 - 0.4891775 * std::cos(t) + 0.1365995 * std::cos(2.0 * t) - 0.0106411 * std::cos(3.0 * t);
    Coefs.push_back(w * (SincKernel(gH, x) - SincKernel(gL, x)));
  }
  // Symmetric by design; the rounding of the window's cosines may differ in the last bit between the two halves.
  for (int n = 0; n < middle; ++n) {
    Coefs[static_cast<std::size_t>(kTaps - 1 - n)] = Coefs[static_cast<std::size_t>(n)];
  }
}

double TLowPassFilter::Filter(double x) {
  Line[Fill] = x;
  ++Fill;
  const double y = DotTaps(Line.data() + (Fill - kHistory - 1), Coefs.data());
  MoveBackWhenFull();
  return y;
}

void TLowPassFilter::MoveBackWhenFull() {
  constexpr std::size_t kEnd = kHistory + kChunk; // the kReadPast values after it are only read, never used
  if (Fill == kEnd) {
    std::copy(Line.begin() + (kEnd - kHistory), Line.begin() + kEnd, Line.begin());
    Fill = kHistory;
  }
}

void TLowPassFilter::Filter(const double *x, std::size_t n, double *y) {
  while (n > 0) {
    const std::size_t take = std::min(n, kHistory + kChunk - Fill);
    std::copy(x, x + take, Line.begin() + static_cast<std::ptrdiff_t>(Fill));
    FirOutputs(Line.data() + (Fill - kHistory), Coefs.data(), take, y);
    Fill += take;
    MoveBackWhenFull();
    x += take;
    y += take;
    n -= take;
  }
}

namespace {

int CheckedFrameLen(int frameLen, int hop) {
  if (frameLen < 1 || hop < 1 || hop > frameLen) {
    throw std::invalid_argument("framer needs frameLen >= 1 and 1 <= hop <= frameLen");
  }
  return frameLen;
}

} // namespace

TFramer::TFramer(int frameLen, int hop)
    : Buf(static_cast<std::size_t>(CheckedFrameLen(frameLen, hop)), 0.0), RestartCount(frameLen - hop) {}

bool TFramer::Push(double y, std::vector<double> &frame) {
  Buf.push(y);
  ++Counter;
  const auto len = static_cast<std::int32_t>(Buf.size());
  if (Counter < len) {
    return false;
  }
  frame.assign(Buf.data(), Buf.data() + len);
  Counter = RestartCount;
  return true;
}

void TUniversalPreprocessor::Init(int channels, int frameLen, int hop, double fLow, double fHigh, double fSampling) {
  if (channels < 1) {
    throw std::invalid_argument("preprocessor needs at least one channel");
  }
  std::vector<TLowPassFilter> filters;
  filters.reserve(static_cast<std::size_t>(channels));
  for (int c = 0; c < channels; ++c) {
    filters.emplace_back(fLow, fHigh, fSampling);
  }
  const TFramer check(frameLen, hop); // the framer's limits and message
  Filters = std::move(filters);
  FrameLen = static_cast<std::size_t>(frameLen);
  Hop = static_cast<std::size_t>(hop);
  Pending = 0;
  FirstDone = false;
  Raw.assign(FrameLen * static_cast<std::size_t>(channels), 0.0);
  Out.assign(FrameLen * static_cast<std::size_t>(channels), 0.0);
}

bool TUniversalPreprocessor::PushSample(const double *samples, std::vector<std::vector<double>> &frames) {
  const std::size_t channels = Filters.size();
  if (frames.size() != channels) {
    frames.resize(channels); // first call only: the caller keeps the vectors between samples
  }
  for (std::size_t c = 0; c < channels; ++c) {
    Raw[c * FrameLen + Pending] = samples[c];
    frames[c].clear();
  }
  ++Pending;
  if (Pending < (FirstDone ? Hop : FrameLen)) {
    return false;
  }
  FinishSet(frames);
  return true;
}

std::size_t TUniversalPreprocessor::PushSamples(const double *const *channels, std::size_t n,
                                                std::vector<std::vector<double>> &frames, bool &framed) {
  const std::size_t want = (FirstDone ? Hop : FrameLen) - Pending; // >= 1: a completed set resets Pending
  const std::size_t take = std::min(n, want);
  for (std::size_t c = 0; c < Filters.size(); ++c) {
    std::copy(channels[c], channels[c] + take, Raw.begin() + static_cast<std::ptrdiff_t>(c * FrameLen + Pending));
  }
  Pending += take;
  framed = take == want;
  if (framed) {
    if (frames.size() != Filters.size()) {
      frames.resize(Filters.size()); // first set only
    }
    FinishSet(frames);
  }
  return take;
}

void TUniversalPreprocessor::FinishSet(std::vector<std::vector<double>> &frames) {
  // The oldest FrameLen - Pending outputs stay, the pending samples' outputs follow.
  const auto keep = static_cast<std::ptrdiff_t>(FrameLen - Pending);
  for (std::size_t c = 0; c < Filters.size(); ++c) {
    double *out = Out.data() + c * FrameLen;
    std::copy(out + (static_cast<std::ptrdiff_t>(FrameLen) - keep), out + FrameLen, out);
    Filters[c].Filter(Raw.data() + c * FrameLen, Pending, out + keep);
    frames[c].assign(out, out + FrameLen);
  }
  Pending = 0;
  FirstDone = true;
}

} // namespace dir_def_core

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

// y[j] = DotTaps(line + j, h) for j < count. 32 outputs are summed side by side, tap pair by tap pair, in four
// vector accumulators: the sums are independent, so they fill the lanes and hide the adder latency, while each
// one still adds its terms in DotTaps' order (no reassociation, so the numbers are the same). The AVX2 clone runs
// about twice as fast as the SSE2 one, and the AVX-512 one faster again where the CPU has full-width units.
ORMELIN_WIDEST_VECTORS void FirOutputs(const double *line, const double *h, std::size_t count, double *y) {
  constexpr std::size_t kTile = 32;
  std::size_t j = 0;
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

TLowPassFilter::TLowPassFilter(double fLow_hz, double fHigh_hz, double fSampling_hz) : Line(kHistory + kChunk, 0.0) {
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
  if (Fill == Line.size()) {
    std::copy(Line.end() - kHistory, Line.end(), Line.begin());
    Fill = kHistory;
  }
  return y;
}

void TLowPassFilter::Filter(const double *x, std::size_t n, double *y) {
  while (n > 0) {
    const std::size_t take = std::min(n, Line.size() - Fill);
    std::copy(x, x + take, Line.begin() + static_cast<std::ptrdiff_t>(Fill));
    FirOutputs(Line.data() + (Fill - kHistory), Coefs.data(), take, y);
    Fill += take;
    if (Fill == Line.size()) {
      std::copy(Line.end() - kHistory, Line.end(), Line.begin());
      Fill = kHistory;
    }
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

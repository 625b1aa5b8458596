// The feature processor against a straightforward computation of its formulas (direct DFT, sorted median,
// plain sums), plus its edge cases.

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "detection/pvc2/mapi.h"
#include "detection/pvc2/pvc_processor.h"
#include "detection_test_support.h"

namespace {

using cplx = std::complex<double>;
using detection::TDetectConfig;

// ---- Independent reference -------------------------------------------------------------------------------

struct TRefBands {
  int Overlap, Hop, HopsBack, Kmin, Kmid, Kmax, NBins;
  std::vector<int> lo, hi, ctr;
};

TRefBands RefGeometry(const TDetectConfig &c) {
  TRefBands g{};
  g.Overlap = static_cast<int>(std::floor(c.NFFT * c.OverlapFFT));
  g.Hop = c.NFFT - g.Overlap;
  g.HopsBack = c.NFFT / g.Hop - 1;
  g.Kmax = static_cast<int>(std::floor(double(c.F_max) * c.NFFT / c.F_Smp));
  g.Kmin = static_cast<int>(std::floor(double(c.F_min) * c.NFFT / c.F_Smp));
  g.Kmid = static_cast<int>(std::floor(double(c.F_mid) * c.NFFT / c.F_Smp));
  const double step = std::ceil(double(g.Kmax - g.Kmin) / c.JJ);
  auto B = [&](int m) {
    return g.Kmin +
           1125.0 * std::log(1.0 + (std::exp((m * step + g.Kmin) / 1125.0) - 1.0) * m * step / (g.Kmax - g.Kmin));
  };
  g.NBins = std::max(std::min(static_cast<int>(std::ceil(B(c.JJ))), g.Overlap), g.Kmax + 1);
  for (int m = 0; m < c.JJ - 1; ++m) {
    const int lo = static_cast<int>(std::floor(B(m)));
    const int hiRaw = static_cast<int>(std::floor(B(m + 2)));
    const int hi = hiRaw > lo + 1 ? hiRaw : lo + 2;
    g.lo.push_back(lo);
    g.hi.push_back(hi);
    g.ctr.push_back(static_cast<int>(std::floor((lo + hi) * 0.5)));
  }
  return g;
}

double RefEntropy(std::vector<double> d, int first, int last) {
  for (auto &e : d) {
    e = std::abs(e);
  }
  const int n = last - first + 1;
  const int A = static_cast<int>(std::floor(2.0 * std::pow(double(n * n), 0.2)));
  std::vector<double> h(A - 1, 0.0);
  const double mn = *std::min_element(d.begin() + first, d.begin() + last + 1);
  const double mx = *std::max_element(d.begin() + first, d.begin() + last + 1);
  const double low = mn - 1e-9;
  const double width = (mx + 1e-9 - low) / (A - 1);
  for (int k = first; k <= last; ++k) {
    h[static_cast<int>((d[k] - low) / width)] += 1.0;
  }
  double mean = 0.0;
  for (double v : h) {
    v *= double(A) / n;
    mean += v == 0.0 ? 1.0 : std::pow(2.0, -(v * std::log2(v)));
  }
  return mean / (A - 1);
}

// Every feature vector of the stream x, computed frame by frame from the definitions.
std::vector<std::vector<double>> RefFeatures(const TDetectConfig &c, const std::vector<double> &x) {
  const TRefBands g = RefGeometry(c);
  const int N = c.NFFT;
  const int W = c.MF_Wnd;
  std::vector<double> cosT(N), sinT(N);
  for (int t = 0; t < N; ++t) {
    cosT[t] = std::cos(2.0 * M_PI * t / N);
    sinT[t] = std::sin(2.0 * M_PI * t / N);
  }
  // Peaks of the first frame's earlier hops (slots), then the truncated newest-hop peak of each frame.
  std::vector<double> Q(std::max(g.HopsBack, 0), 0.0);
  for (int i = 0; i + 1 < g.Overlap; ++i) {
    if (g.HopsBack >= 1) {
      const int n = std::min((i + 1) / g.Hop, g.HopsBack - 1);
      Q[n] = std::max(Q[n], std::abs(x[i]));
    }
  }
  std::vector<std::vector<double>> out;
  for (int f = 0;; ++f) {
    const long end = N - 1 + static_cast<long>(f) * g.Hop;
    if (end >= static_cast<long>(x.size())) {
      break;
    }
    const long from = f == 0 ? std::max(g.Overlap, 1) - 1 : end - g.Hop + 1;
    double hp = 0.0;
    for (long i = from; i <= end; ++i) {
      hp = std::max(hp, std::abs(x[i]));
    }
    double peak = hp;
    for (int k = 0; k < g.HopsBack; ++k) {
      peak = std::max(peak, Q[f + k]);
    }
    Q.push_back(std::trunc(hp));

    const int nX = g.NBins + W;
    std::vector<cplx> X(nX);
    for (int k = 0; k < nX; ++k) {
      cplx acc = 0.0;
      for (int n = 0; n < N; ++n) {
        const double v = x[end - N + 1 + n] / peak;
        const int t = static_cast<int>((static_cast<long>(k) * n) % N);
        acc += cplx(v * cosT[t], -v * sinT[t]);
      }
      X[k] = acc / double(N);
    }
    std::vector<double> D(g.NBins);
    for (int s = 0; s < g.NBins; ++s) {
      cplx med = 0.0;
      if (W > 0) {
        std::vector<cplx> win;
        for (int d = -W; d <= W; ++d) {
          win.push_back(s + d < 0 ? cplx(0.0) : X[s + d]);
        }
        std::stable_sort(win.begin(), win.end(), [](cplx a, cplx b) { return std::abs(a) < std::abs(b); });
        med = win[W];
      }
      D[s] = std::abs(X[s] - med);
    }
    std::vector<double> v{RefEntropy(D, g.Kmid, g.Kmax), RefEntropy(D, g.Kmin, g.Kmid)};
    const int J = c.JJ - 1;
    std::vector<double> E(J);
    for (int m = 0; m < J; ++m) {
      double sum = 0.0;
      for (int k = std::max(g.lo[m], 1); k <= std::min(g.hi[m], g.Overlap - 1); ++k) {
        const double w =
            k <= g.ctr[m] ? double(k - g.lo[m]) / (g.ctr[m] - g.lo[m]) : double(g.hi[m] - k) / (g.hi[m] - g.ctr[m]);
        sum += D[k] * D[k] * w;
      }
      E[m] = std::log10(sum);
    }
    for (int n = 0; n < c.N_MFCC; ++n) {
      double acc = 0.5 * E[0];
      for (int m = 1; m < J; ++m) {
        acc += E[m] * std::cos(m * (n + 0.5) * M_PI / J);
      }
      v.push_back(acc / J);
    }
    out.push_back(v);
  }
  return out;
}

// |a - b| <= 1e-9 relative to |b| (absolute below magnitude 1).
void ExpectClose(const std::vector<std::vector<double>> &got, const std::vector<std::vector<double>> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t f = 0; f < want.size(); ++f) {
    ASSERT_EQ(got[f].size(), want[f].size());
    for (std::size_t j = 0; j < want[f].size(); ++j) {
      ASSERT_TRUE(std::isfinite(want[f][j])) << "frame " << f << " element " << j;
      EXPECT_NEAR(got[f][j], want[f][j], 1e-9 * std::max(1.0, std::abs(want[f][j])))
          << "frame " << f << " element " << j;
    }
  }
}

// ---- Golden tests ----------------------------------------------------------------------------------------

TEST(TPVC_Processor, MatchesDirectComputationAtShippedSettings) {
  const TDetectConfig c = dtest::ShippedConfig();
  const auto x = dtest::HarmonicPlusNoise(1024 + 7 * 512 + 100, 610.0, 3000.0, 400.0, 1);
  const auto got = dtest::FeaturesOf(c, x);
  ASSERT_EQ(got.size(), 8U);
  ExpectClose(got, RefFeatures(c, x));
}

TEST(TPVC_Processor, MatchesDirectComputationAtOtherSizesAndOverlaps) {
  {
    // Hop 64 with three earlier hops per frame; small fractional samples make the truncated hop peaks
    // differ from the true ones.
    TDetectConfig c = dtest::ShippedConfig();
    c.NFFT = 256;
    c.OverlapFFT = 0.75;
    c.MF_Wnd = 10;
    const auto x = dtest::HarmonicPlusNoise(256 + 14 * 64, 900.0, 3.0, 0.8, 2, 0, true);
    const auto got = dtest::FeaturesOf(c, x);
    ASSERT_EQ(got.size(), 15U);
    ExpectClose(got, RefFeatures(c, x));
  }
  {
    // A hop that does not divide the frame (Overlap 307, Hop 205).
    TDetectConfig c = dtest::ShippedConfig();
    c.NFFT = 512;
    c.OverlapFFT = 0.6;
    c.N_MFCC = 11;
    const auto x = dtest::HarmonicPlusNoise(512 + 9 * 205, 1500.0, 2000.0, 900.0, 3, 700);
    const auto got = dtest::FeaturesOf(c, x);
    ASSERT_EQ(got.size(), 10U);
    ExpectClose(got, RefFeatures(c, x));
  }
}

TEST(TPVC_Processor, WithoutMedianTheTonalPartIsTheSpectrumMagnitude) {
  TDetectConfig c = dtest::ShippedConfig();
  c.MF_Wnd = 0;
  pvc2::TPVC_Processor p(c);
  const auto x = dtest::HarmonicPlusNoise(1024, 610.0, 3000.0, 400.0, 4);
  std::vector<double> v;
  for (const double s : x) {
    p.ProcNext(s, v);
  }
  ASSERT_EQ(v.size(), 8U);
  const auto &X = p.LastSpectrum();
  const auto &D = p.LastTonal();
  ASSERT_EQ(D.size(), static_cast<std::size_t>(p.Geometry().NBins));
  for (std::size_t k = 0; k < D.size(); ++k) {
    EXPECT_DOUBLE_EQ(D[k], std::abs(X[k])) << "equal up to the rounding of sqrt(re^2 + im^2) against hypot";
  }
  ExpectClose({v}, RefFeatures(c, x));
}

// ---- Cadence, settings, silence ----------------------------------------------------------------------

TEST(TPVC_Processor, FirstFrameOnCall1024ThenEvery512) {
  pvc2::TPVC_Processor p(dtest::ShippedConfig());
  EXPECT_EQ(p.Geometry().Overlap, 512);
  EXPECT_EQ(p.Geometry().Hop, 512);
  EXPECT_EQ(p.Geometry().HopsBack, 1);
  EXPECT_EQ(p.Geometry().Kmin, 109);
  EXPECT_EQ(p.Geometry().Kmid, 191);
  EXPECT_EQ(p.Geometry().Kmax, 273);
  EXPECT_EQ(p.Geometry().NBins, 392);
  const auto x = dtest::HarmonicPlusNoise(1024 + 3 * 512, 610.0, 3000.0, 400.0, 5);
  std::vector<int> calls;
  std::vector<double> v;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (p.ProcNext(x[i], v)) {
      calls.push_back(static_cast<int>(i) + 1);
      EXPECT_EQ(v.size(), 8U * calls.size()) << "one vector appended per frame";
    }
  }
  EXPECT_EQ(calls, (std::vector<int>{1024, 1536, 2048, 2560}));
}

TEST(TPVC_Processor, RefusesSettingsItCannotRunOn) {
  TDetectConfig c = dtest::ShippedConfig();
  c.NFFT = 1000;
  EXPECT_THROW({ pvc2::TPVC_Processor p(c); }, std::length_error);
  c.NFFT = 4;
  try {
    pvc2::TPVC_Processor p(c);
    FAIL();
  } catch (const std::length_error &e) {
    EXPECT_STREQ(e.what(), "invalid FFT size");
  }
  c = dtest::ShippedConfig();
  c.F_mid = 100; // Kmid below Kmin: the compiled-in default
  EXPECT_THROW({ pvc2::TPVC_Processor p(c); }, std::invalid_argument);
}

TEST(TPVC_Processor, SilentFramesKeepTheCadenceAndStayDefined) {
  const TDetectConfig c = dtest::ShippedConfig();
  pvc2::TPVC_Processor p(c);
  std::vector<double> x(4096, 0.0);
  const auto tone = dtest::HarmonicPlusNoise(4096, 610.0, 3000.0, 400.0, 6);
  x.insert(x.end(), tone.begin(), tone.end());
  std::vector<std::vector<double>> vs;
  std::vector<double> v;
  for (const double s : x) {
    v.clear();
    if (p.ProcNext(s, v)) {
      vs.push_back(v);
    }
  }
  ASSERT_EQ(vs.size(), 15U) << "a vector every hop, silent or not";
  for (int f = 0; f < 7; ++f) {
    EXPECT_TRUE(std::isfinite(vs[f][0]) && std::isfinite(vs[f][1])) << "entropies of a silent frame";
    EXPECT_EQ(vs[f][2], -std::numeric_limits<double>::infinity()) << "c0 of zero band energies";
  }
  for (std::size_t f = 9; f < vs.size(); ++f) {
    for (const double e : vs[f]) {
      EXPECT_TRUE(std::isfinite(e)) << "frame " << f;
    }
  }
}

TEST(TPVC_Processor, NonFiniteSamplesCountAsZero) {
  const TDetectConfig c = dtest::ShippedConfig();
  auto x = dtest::HarmonicPlusNoise(3000, 610.0, 3000.0, 400.0, 7);
  auto y = x;
  x[100] = std::numeric_limits<double>::quiet_NaN();
  x[1500] = std::numeric_limits<double>::infinity();
  x[2500] = -std::numeric_limits<double>::infinity();
  y[100] = y[1500] = y[2500] = 0.0;
  EXPECT_EQ(dtest::FeaturesOf(c, x), dtest::FeaturesOf(c, y));
}

TEST(TPVC_Processor, BlocksOfSamplesGiveTheSameFeaturesAsOneAtATime) {
  // Blocks of several sizes, one that does not divide the hop, across the first frame's filling, the
  // shifter's moves back and non-finite samples; also the hop that does not divide the frame.
  for (const double overlap : {0.75, 0.6}) {
    TDetectConfig c = dtest::ShippedConfig();
    c.OverlapFFT = overlap;
    auto x = dtest::HarmonicPlusNoise(2048 + 30 * 512, 610.0, 3000.0, 400.0, 9);
    x[700] = std::numeric_limits<double>::quiet_NaN();
    x[5000] = -std::numeric_limits<double>::infinity();
    const auto want = dtest::FeaturesOf(c, x);
    for (const std::size_t block : {std::size_t{1}, std::size_t{37}, std::size_t{400}, std::size_t{5000}}) {
      pvc2::TPVC_Processor p(c);
      std::vector<std::vector<double>> got;
      std::vector<double> v;
      for (std::size_t at = 0; at < x.size();) {
        const std::size_t n = std::min(block, x.size() - at);
        bool framed = false;
        v.clear();
        const std::size_t used = p.ProcSamples(x.data() + at, n, v, framed);
        ASSERT_GE(used, 1U);
        ASSERT_LE(used, n);
        if (framed) {
          got.push_back(v);
        } else {
          ASSERT_EQ(used, n) << "stopped early without a frame";
        }
        at += used;
      }
      EXPECT_EQ(got, want) << "overlap " << overlap << ", blocks of " << block;
    }
  }
}

// ---- Entropy histogram ---------------------------------------------------------------------------------

TEST(Calc_ENTR2, OneValueGivesOneBinHoldingTwo) {
  std::vector<double> hist;
  pvc2::mapi::Calc_ENTR2({0.0, 3.5, 0.0}, 1, 1, hist);
  ASSERT_EQ(hist.size(), 1U);
  EXPECT_DOUBLE_EQ(hist[0], 2.0);
  EXPECT_DOUBLE_EQ(pvc2::mapi::MeanBinEntropy({0.0, 0.0, 1.0}), 1.0) << "g(0) = g(1) = 1";
}

// The histogram as plainly written: the bin of each value in turn, one added per value.
std::vector<double> RefHistogram(const std::vector<double> &values, int first, int last) {
  const int n = last - first + 1;
  const int A = static_cast<int>(std::floor(2.0 * std::pow(static_cast<double>(n) * n, 0.2)));
  std::vector<double> hist(static_cast<std::size_t>(A - 1), 0.0);
  double lo = std::abs(values[first]);
  double hi = lo;
  for (int k = first + 1; k <= last; ++k) {
    lo = std::min(lo, std::abs(values[k]));
    hi = std::max(hi, std::abs(values[k]));
  }
  const double low = lo - 1e-9;
  const double width = (hi + 1e-9 - low) / (A - 1);
  double sum = 0.0;
  for (int k = first; k <= last; ++k) {
    const double t = (std::abs(values[k]) - low) / width;
    const int bin = t >= A - 1 ? A - 2 : (t > 0.0 ? static_cast<int>(t) : 0);
    hist[static_cast<std::size_t>(bin)] += 1.0;
    sum += 1.0;
  }
  for (double &h : hist) {
    h *= A / sum;
  }
  return hist;
}

TEST(Calc_ENTR2, MatchesThePlainHistogramExactly) {
  // Sizes around the counting chunks and past the largest stack histogram (over 185000 values, 257 bins and
  // more), skewed values so that long runs fall in one bin, a value on a bin edge and an infinity.
  std::mt19937 gen(31);
  std::exponential_distribution<double> ex(3.0);
  for (const int n : {1, 2, 3, 5, 63, 64, 65, 330, 1000, 200000}) {
    std::vector<double> v(static_cast<std::size_t>(n) + 4);
    for (double &e : v) {
      e = ex(gen) * (gen() % 2 != 0 ? 1.0 : -1.0);
    }
    std::vector<double> hist;
    pvc2::mapi::Calc_ENTR2(v, 2, n + 1, hist);
    EXPECT_EQ(hist, RefHistogram(v, 2, n + 1)) << n << " values";
    if (n >= 65) {
      v[10] = std::numeric_limits<double>::infinity();
      pvc2::mapi::Calc_ENTR2(v, 2, n + 1, hist);
      EXPECT_EQ(hist, RefHistogram(v, 2, n + 1)) << n << " values with an infinity";
    }
  }
}

TEST(Calc_ENTR2, TabulatedBandEntropyGivesTheSameBits) {
  // The processor's table against the two plain calls: sizes around the chunks, the shipped bands (about 220 and
  // 110 bins), past the table's limit (the long way), and ranges with zeros, equal values, a NaN and an infinity.
  std::mt19937 gen(7);
  std::exponential_distribution<double> ex(2.0);
  for (const int n : {1, 2, 7, 64, 65, 110, 221, 1000, 200000}) {
    std::vector<double> v(static_cast<std::size_t>(n) + 5);
    pvc2::mapi::TBandEntropy entropy(3, n + 2);
    for (int variant = 0; variant < 4; ++variant) {
      for (double &e : v) {
        e = variant == 1 ? 0.5 : ex(gen);
      }
      if (variant >= 2 && n > 4) {
        v[4] = 0.0;
        v[5] = variant == 2 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
      }
      std::vector<double> hist;
      pvc2::mapi::Calc_ENTR2(v, 3, n + 2, hist);
      const double want = pvc2::mapi::MeanBinEntropy(hist);
      const double got = entropy(v);
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << n << " values, variant " << variant;
      } else {
        EXPECT_EQ(got, want) << n << " values, variant " << variant;
      }
    }
  }
}

TEST(Calc_ENTR2, EqualValuesShareOneBin) {
  std::vector<double> hist;
  const std::vector<double> v(40, -0.25); // magnitudes are used
  pvc2::mapi::Calc_ENTR2(v, 0, 39, hist);
  const int A = static_cast<int>(std::floor(2.0 * std::pow(1600.0, 0.2)));
  ASSERT_EQ(hist.size(), static_cast<std::size_t>(A - 1));
  EXPECT_EQ(std::count(hist.begin(), hist.end(), 0.0), A - 2);
  EXPECT_DOUBLE_EQ(*std::max_element(hist.begin(), hist.end()), A);
}

} // namespace

#include "dir_def_core/x4_dir_definer.h"

#include "dir_def_core/angles.h"
#include "dir_def_core/dd_mapi.h"
#include "dsp/multiversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace dir_def_core {
namespace {

// Source model range, metres: the source is a point this far from the array origin.
constexpr double kRange_m = 100.0;
// Lagrange table half-width around the integer peak (11 points).
constexpr int kLagrangeHalf = 5;
static_assert(2 * kLagrangeHalf + 1 == TLagrangePeak::kPoints);
// Quarter-point steps of the sub-sample maximisation; 2/2^19 samples bracket at the end.
constexpr int kGoldenSteps = 19;
// Newton steps (norm of the change of phi, theta in radians and beta) below this are at the end of the quadratic
// convergence: from there a step that does not halve the last one is rounding.
constexpr double kRoundingStep = 1e-9;
// Frames larger than this are refused before any allocation (over 28 s at 37.5 kHz).
constexpr std::size_t kMaxFrame = std::size_t{1} << 20;

void CheckFftSize(std::size_t n) {
  if (n < 8 || n > kMaxFrame || (n & (n - 1)) != 0) {
    throw std::length_error("invalid FFT size");
  }
}

// The lag window [-maxLag, maxLag] around lag 0 at index `zero`, widened by the Lagrange table, must lie in
// the array of n values.
void CheckLagWindow(std::size_t n, long zero, int maxLag) {
  const long lo = zero - maxLag - kLagrangeHalf;
  const long hi = zero + maxLag + kLagrangeHalf;
  if (maxLag < 0 || lo < 0 || hi > static_cast<long>(n) - 1) {
    throw std::invalid_argument("lag search window does not fit the frame");
  }
}

// out = a * b, each entry summed over the inner index in increasing order from 0.0.
template <std::size_t R, std::size_t I, std::size_t C>
void MatMul(const std::array<std::array<double, I>, R> &a, const std::array<std::array<double, C>, I> &b,
            std::array<std::array<double, C>, R> &out) {
#pragma GCC unroll 6
  for (std::size_t i = 0; i < R; ++i) {
#pragma GCC unroll 6
    for (std::size_t j = 0; j < C; ++j) {
      double s = 0.0;
#pragma GCC unroll 6
      for (std::size_t k = 0; k < I; ++k) {
        s += a[i][k] * b[k][j];
      }
      out[i][j] = s;
    }
  }
}

template <std::size_t R, std::size_t C>
void Transpose(const std::array<std::array<double, C>, R> &a, std::array<std::array<double, R>, C> &out) {
  for (std::size_t j = 0; j < C; ++j) {
    for (std::size_t i = 0; i < R; ++i) {
      out[j][i] = a[i][j];
    }
  }
}

// prod_{m != l} (l - m) over the nodes 0..10: (-1)^(10-l) l! (10-l)!, exact in a double.
constexpr std::array<double, TLagrangePeak::kPoints> LagrangeDenominators() {
  std::array<double, TLagrangePeak::kPoints> den{};
  for (int l = 0; l < TLagrangePeak::kPoints; ++l) {
    double prod = 1.0;
    for (int m = 0; m < TLagrangePeak::kPoints; ++m) {
      if (m != l) {
        prod *= static_cast<double>(l - m);
      }
    }
    den[static_cast<std::size_t>(l)] = prod;
  }
  return den;
}

// std::complex<double> is laid out as double[2] (real, imaginary); the loops below use that view, which GCC
// vectorises without the stack round trips it makes of element-wise complex assignments.
double *AsDoubles(std::complex<double> *z) { return reinterpret_cast<double *>(z); }
const double *AsDoubles(const std::complex<double> *z) { return reinterpret_cast<const double *>(z); }

typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8i __attribute__((vector_size(64)));

// out[k] = a[k] conj(b[k]) for k < count: (ar br + ai bi, ai br - ar bi), the values of std::complex's product
// without its NaN recovery call. Four bins per eight-double vector, each value the same two products and one sum
// as the scalar form (a negation is exact, so adding -(ar bi) is subtracting it).
ORMELIN_WIDEST_VECTORS void ConjProduct(const std::complex<double> *a, const std::complex<double> *b, std::size_t count,
                                        std::complex<double> *out) {
  const double *pa = AsDoubles(a);
  const double *pb = AsDoubles(b);
  double *po = AsDoubles(out);
  const v8d sign = {1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0};
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    v8d va;
    v8d vb;
    std::memcpy(&va, pa + 2 * k, sizeof va);
    std::memcpy(&vb, pb + 2 * k, sizeof vb);
    const v8d p = va * vb;                                                      // ar br, ai bi
    const v8d q = __builtin_shufflevector(va, va, 1, 0, 3, 2, 5, 4, 7, 6) * vb; // ai br, ar bi
    const v8d o = __builtin_shufflevector(p, q, 0, 8, 2, 10, 4, 12, 6, 14) +
                  __builtin_shufflevector(p, q, 1, 9, 3, 11, 5, 13, 7, 15) * sign;
    std::memcpy(po + 2 * k, &o, sizeof o);
  }
  for (; k < count; ++k) {
    const double ar = pa[2 * k];
    const double ai = pa[2 * k + 1];
    const double br = pb[2 * k];
    const double bi = pb[2 * k + 1];
    po[2 * k] = ar * br + ai * bi;
    po[2 * k + 1] = ai * br - ar * bi;
  }
}

// The two half spectra of z = x_a + i x_b (n bins, h = n / 2), scaled: S_a[k] = (Z[k] + conj Z[n-k]) s and
// S_b[k] = (Z[k] - conj Z[n-k]) s / i for k = 0 .. h, with s = 1 / (2n). Bins 1 .. h - 3 four at a time, Z[n-k]
// read as a descending run; the same sums and products per value as the scalar form.
ORMELIN_WIDEST_VECTORS void SplitTwoReal(const double *z, std::size_t n, double s, double *sa, double *sb) {
  const std::size_t h = n / 2;
  const auto scalar = [&](std::size_t k) {
    const double *zk = z + 2 * k;
    const double *zr = z + 2 * ((n - k) & (n - 1));
    sa[2 * k] = (zk[0] + zr[0]) * s;
    sa[2 * k + 1] = (zk[1] - zr[1]) * s;
    sb[2 * k] = (zk[1] + zr[1]) * s;
    sb[2 * k + 1] = (zr[0] - zk[0]) * s;
  };
  scalar(0);
  const v8d conj = {1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0};
  const v8d scale = {s, s, s, s, s, s, s, s};
  std::size_t k = 1;
  for (; k + 4 <= h; k += 4) {
    v8d zk;
    v8d zr;
    std::memcpy(&zk, z + 2 * k, sizeof zk);
    std::memcpy(&zr, z + 2 * (n - k - 3), sizeof zr);
    const v8d r = __builtin_shufflevector(zr, zr, 6, 7, 4, 5, 2, 3, 0, 1); // Z[n-k], Z[n-k-1], ..
    const v8d a = (zk + r * conj) * scale;
    const v8d b = (__builtin_shufflevector(zk, zk, 1, 0, 3, 2, 5, 4, 7, 6) * conj +
                   __builtin_shufflevector(r, r, 1, 0, 3, 2, 5, 4, 7, 6)) *
                  scale;
    std::memcpy(sa + 2 * k, &a, sizeof a);
    std::memcpy(sb + 2 * k, &b, sizeof b);
  }
  for (; k <= h; ++k) {
    scalar(k);
  }
}

// z (bit-reversed order, n complex values) gets x_a[i] + i x_b[i] for i < n. Input i + n/2 lands right after
// input i (bit_reverse(i + n/2) = bit_reverse(i) + 1 for i < n/2), so both go in with one store.
void PackTwoRealBitReversed(const double *xa, const double *xb, std::size_t n, const std::uint32_t *rev, double *z) {
  const std::size_t h = n / 2;
  for (std::size_t i = 0; i < h; ++i) {
    const v4d v = {xa[i], xb[i], xa[i + h], xb[i + h]};
    std::memcpy(z + std::size_t{2} * rev[i], &v, sizeof v);
  }
}

} // namespace

TLagrangePeak::TLagrangePeak(const double *y, double x0) : X0(x0) {
  static constexpr std::array<double, kPoints> kDen = LagrangeDenominators();
  for (std::size_t l = 0; l < C.size(); ++l) {
    C[l] = y[l] / kDen[l];
  }
}

TX4DirDefiner::TPlans::TPlans(unsigned int n) : Fwd(n), Inv(n), Rev(n) {
  for (unsigned int i = 0; i < n; ++i) {
    Rev[i] = Fwd.bit_reverse(i);
  }
}

const TX4DirDefiner::TPlans &TX4DirDefiner::PlansFor(std::size_t n) {
  for (const auto &p : Plans) {
    if (p->Fwd.size() == n) {
      return *p;
    }
  }
  Plans.push_back(std::make_unique<TPlans>(static_cast<unsigned int>(n)));
  return *Plans.back();
}

void TX4DirDefiner::InverseTwoHermitian(const TPlans &plans, const std::complex<double> *a,
                                        const std::complex<double> *b, double *corrA, double *corrB) {
  // The inverse of a Hermitian spectrum is real, so ifft(A + iB) = a + i b carries both correlations.
  const std::size_t n = Packed.size();
  const std::size_t h = n / 2;
  const double *pa = AsDoubles(a);
  const double *pb = AsDoubles(b);
  double *z = AsDoubles(Packed.data());
  const std::uint32_t *rev = plans.Rev.data();
  // Bins k and k + h side by side (bit_reverse(k + h) = bit_reverse(k) + 1): A[k] + i B[k] for k <= h, and
  // conj(A[n-k]) + i conj(B[n-k]) above.
  // k = 0 pairs with bin h, which is still A[h] + i B[h].
  const v4d first = {pa[0] - pb[1], pa[1] + pb[0], pa[2 * h] - pb[2 * h + 1], pa[2 * h + 1] + pb[2 * h]};
  std::memcpy(z + std::size_t{2} * rev[0], &first, sizeof first);
  for (std::size_t k = 1; k < h; ++k) {
    const std::size_t r = 2 * (h - k); // bin n - (k + h)
    const v4d v = {pa[2 * k] - pb[2 * k + 1], pa[2 * k + 1] + pb[2 * k], pa[r] + pb[r + 1], pb[r] - pa[r + 1]};
    std::memcpy(z + std::size_t{2} * rev[k], &v, sizeof v);
  }
  plans.Inv.transform_bit_reversed(Packed.data());
  // Only the lags any search reads: within MaxLag plus the Lagrange table of lag 0 (CheckLagWindow keeps that
  // inside the frame).
  const std::size_t reach = static_cast<std::size_t>(MaxLag) + static_cast<std::size_t>(kLagrangeHalf);
  for (std::size_t j = 0; j <= reach; ++j) {
    corrA[j] = z[2 * j];
    corrB[j] = z[2 * j + 1];
  }
  for (std::size_t j = n - reach; j < n; ++j) {
    corrA[j] = z[2 * j];
    corrB[j] = z[2 * j + 1];
  }
}

void TX4DirDefiner::CovR_2(const std::vector<std::vector<double>> &frames, int N, std::vector<double> &delays,
                           std::vector<double> &weights, const std::vector<double> &gains) {
  if (N < 8) {
    throw std::length_error("invalid FFT size");
  }
  const auto n = static_cast<std::size_t>(N);
  CheckFftSize(n);
  if (frames.size() != kMics) {
    throw std::invalid_argument("four frames required");
  }
  for (const auto &f : frames) {
    if (f.size() != n) {
      throw std::invalid_argument("frame length differs from N");
    }
  }
  const std::size_t h = n / 2;
  // The refined search (lag 0 at index h - 1, 11-point table) is the narrower of the two windows.
  CheckLagWindow(n, static_cast<long>(h) - 1, MaxLag);
  const TPlans &plans = PlansFor(n);
  for (auto &v : Spectra) {
    v.resize(n);
  }
  Packed.resize(n);
  for (auto &v : Corr) {
    v.resize(n);
  }
  const double invN = 1.0 / static_cast<double>(N);
  const std::size_t mask = n - 1;

  // 1. Energies: the four sums side by side (independent chains), each in sample order.
  {
    double e[kMics] = {0.0, 0.0, 0.0, 0.0};
    const double *x0 = frames[0].data();
    const double *x1 = frames[1].data();
    const double *x2 = frames[2].data();
    const double *x3 = frames[3].data();
    for (std::size_t i = 0; i < n; ++i) {
      e[0] += x0[i] * x0[i];
      e[1] += x1[i] * x1[i];
      e[2] += x2[i] * x2[i];
      e[3] += x3[i] * x3[i];
    }
    for (int c = 0; c < kMics; ++c) {
      Energy[c] = e[c] / static_cast<double>(N);
    }
  }
  double eTot = 0.0;
  for (int c = 0; c < kMics; ++c) {
    if (static_cast<std::size_t>(c) < gains.size() && gains[c] > 0) {
      Energy[c] *= gains[c];
    }
    eTot += Energy[c];
  }

  // 2. Spectra scaled by 1/N, two real frames per transform: z = x_a + i x_b gives
  // S_a[k] = (Z[k] + conj Z[N-k]) / 2 and S_b[k] = (Z[k] - conj Z[N-k]) / 2i. Bins 0..N/2 suffice for the
  // cross-spectra; the beams need all N (S[N-k] = conj S[k]).
  const double halfInvN = 0.5 * invN;
  for (int c = 0; c < kMics; c += 2) {
    const double *xa = frames[c].data();
    const double *xb = frames[c + 1].data();
    double *z = AsDoubles(Packed.data());
    PackTwoRealBitReversed(xa, xb, n, plans.Rev.data(), z);
    plans.Fwd.transform_bit_reversed(Packed.data());
    SplitTwoReal(z, n, halfInvN, AsDoubles(Spectra[c].data()), AsDoubles(Spectra[c + 1].data()));
    if (!PairRefine) {
      for (std::size_t k = h + 1; k < n; ++k) {
        Spectra[c][k] = std::conj(Spectra[c][n - k]);
        Spectra[c + 1][k] = std::conj(Spectra[c + 1][n - k]);
      }
    }
  }

  // 3. Cross-spectra S_a conj(S_b) and their correlations, two pairs per inverse transform. Without the 1/N of
  // the designed coarse inverse: scaling by a power of two moves no maximum, and the refined search wants the
  // unnormalised values.
  for (auto &v : Cross) {
    v.resize(h + 1);
  }
  for (int p = 0; p < kPairs; p += 2) {
    for (int q = 0; q < 2; ++q) {
      ConjProduct(Spectra[kPairOrder[p + q][0]].data(), Spectra[kPairOrder[p + q][1]].data(), h + 1, Cross[q].data());
    }
    InverseTwoHermitian(plans, Cross[0].data(), Cross[1].data(), Corr[p].data(), Corr[p + 1].data());
  }

  // Coarse whole-sample lags: the largest correlation over lags -W..W (the first of equal values, from -W up).
  // D is the true lag: identical channels give 0, channel a delayed by d samples gives d.
  const int maxLag = MaxLag;
  for (int p = 0; p < kPairs; ++p) {
    const double *corr = Corr[p].data();
    long best = -maxLag;
    for (long lag = best + 1; lag <= maxLag; ++lag) {
      if (corr[static_cast<std::size_t>(lag) & mask] > corr[static_cast<std::size_t>(best) & mask]) {
        best = lag;
      }
    }
    D[kPairOrder[p][0]][kPairOrder[p][1]] = static_cast<double>(best);
  }

  // 4-5. Energy shares and the antisymmetric lag matrix.
  for (auto &e : Energy) {
    e /= eTot;
  }
  for (int c = 0; c < kMics; ++c) {
    D[c][c] = 0.0;
  }
  for (const auto &pr : kPairOrder) {
    D[pr[1]][pr[0]] = -D[pr[0]][pr[1]];
  }

  // 6. Beams: all channels phase-aligned on microphone r with the whole-sample lags. The phase step divides
  // by N - 1, not N; the estimator's published figures were measured with it, so it stays. Not needed when
  // each pair is refined on its own cross-spectrum.
  if (!PairRefine) {
    for (auto &v : Beams) {
      v.resize(n);
    }
    const double step = -kTwoPi / static_cast<double>(N - 1);
    for (std::size_t k = 0; k < n; ++k) {
      const double phiK = static_cast<double>(k) * step;
      // rot[r][c] = exp(i phiK D[r][c]); exp(i phiK D[c][r]) is its conjugate.
      std::array<std::array<std::complex<double>, kMics>, kMics> rot;
      for (const auto &pr : kPairOrder) {
        const double angle = phiK * D[pr[0]][pr[1]];
        rot[pr[0]][pr[1]] = {std::cos(angle), std::sin(angle)};
        rot[pr[1]][pr[0]] = std::conj(rot[pr[0]][pr[1]]);
      }
      for (int r = 0; r < kMics; ++r) {
        std::complex<double> y = r == 0 ? Spectra[0][k] : rot[r][0] * Spectra[0][k];
        for (int c = 1; c < kMics; ++c) {
          y += r == c ? Spectra[c][k] : rot[r][c] * Spectra[c][k];
        }
        Beams[r][k] = y;
      }
    }
    // The beams' cross-spectra are not Hermitian (the N - 1 step); the search reads the real part of their
    // inverse, which is the inverse of their Hermitian part (G[k] + conj G[N-k]) / 2, so two of those share
    // one inverse transform too.
    for (auto &v : Cross) {
      v.resize(n);
    }
    for (int p = 0; p < kPairs; p += 2) {
      for (int q = 0; q < 2; ++q) {
        const TCVector &ya = Beams[kPairOrder[p + q][0]];
        const TCVector &yb = Beams[kPairOrder[p + q][1]];
        TCVector &g = Cross[q];
        ConjProduct(ya.data(), yb.data(), n, g.data());
        // In place over bins 0..N/2: bin N-k (k > 0) lies above N/2 and is never overwritten.
        for (std::size_t k = 0; k <= h; ++k) {
          const std::complex<double> gk = g[k];
          const std::complex<double> gr = g[(n - k) & mask];
          g[k] = {0.5 * (gk.real() + gr.real()), 0.5 * (gk.imag() - gr.imag())};
        }
      }
      InverseTwoHermitian(plans, Cross[0].data(), Cross[1].data(), Corr[p].data(), Corr[p + 1].data());
    }
  }

  // 7. Refined delays and weights per pair. Designed: the beams' cross-spectrum, whole window. PairRefine: the
  // pair's own cross-spectrum, whose integer peak is the coarse lag itself, so the window is narrowed to the
  // consensus lag instead; this keeps a pair whose own peak was lost in noise on the array's lag.
  delays.clear();
  weights.clear();
  std::array<TPeakQuery, kPairs> queries{};
  for (int p = 0; p < kPairs; ++p) {
    const int a = kPairOrder[p][0];
    const int b = kPairOrder[p][1];
    weights.push_back(Energy[a] + Energy[b]);
    int centre = 0;
    int width = maxLag;
    if (PairRefine) {
      width = std::min(kPairRefineHalfWidth, maxLag);
      centre = std::clamp(ConsensusLag(a, b), width - maxLag, maxLag - width); // stays in the designed window
    }
    queries[static_cast<std::size_t>(p)] = TPeakQuery{Corr[p].data(), n, width, centre};
  }
  // The six searches side by side: RefineLag's numbers, without waiting on each search's chain in turn.
  std::array<double, kPairs> lags{};
  RefinePeaks(queries.data(), queries.size(), lags.data());
  for (const double lag : lags) {
    delays.push_back((1.0 / SampleRate) * lag * SoundSpeed);
  }
}

int TX4DirDefiner::ConsensusLag(int a, int b) const {
  std::array<int, 3> paths{};
  std::size_t i = 0;
  paths[i++] = static_cast<int>(D[a][b]);
  for (int c = 0; c < kMics; ++c) {
    if (c != a && c != b) {
      paths[i++] = static_cast<int>(D[a][c] + D[c][b]);
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths[1];
}

double TX4DirDefiner::Search_Max_GR(const TCVector &cross, int half, int maxLag, int centreLag) {
  const std::size_t n = cross.size();
  CheckFftSize(n);
  if (static_cast<std::size_t>(half) != n / 2) {
    throw std::invalid_argument("half must be the cross-spectrum length / 2");
  }
  // Lag 0 of the designed rotated correlation sits at index half - 1; the window is centred on lag centreLag.
  CheckLagWindow(n, static_cast<long>(half) - 1 + centreLag, maxLag);
  const TPlans &plans = PlansFor(n);

  // Unnormalised inverse: the designed inverse with 1/N multiplied back by N, which is exact for N a power
  // of two. Only its real part is searched.
  SearchWork.assign(cross.begin(), cross.end());
  plans.Inv.transform(SearchWork.data());
  RealWork.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    RealWork[j] = SearchWork[j].real();
  }
  return RefineLag(RealWork.data(), n, maxLag, centreLag);
}

double TX4DirDefiner::RefineLag(const double *corr, std::size_t n, int maxLag, int centreLag) const {
  return (1.0 / SampleRate) * RefinePeak(corr, n, maxLag, centreLag) * SoundSpeed;
}

namespace {

// The whole-sample peak of corr (index lag mod n) over centre - width .. centre + width, the first of equal values
// from the low end, and the 11 values y around it (peak - 5 .. peak + 5).
long WholePeak(const double *corr, std::size_t n, int width, int centre, double *y) {
  const std::size_t mask = n - 1;
  const auto at = [&](long lag) { return corr[static_cast<std::size_t>(lag) & mask]; };
  long best = centre - width;
  for (long lag = best + 1; lag <= centre + width; ++lag) {
    if (at(lag) > at(best)) {
      best = lag;
    }
  }
  for (int l = 0; l < TLagrangePeak::kPoints; ++l) {
    y[l] = at(best - kLagrangeHalf + l);
  }
  return best;
}

constexpr std::size_t kLanes = 8;

// The golden steps of RefinePeak for eight peaks side by side, lane j being peak j: c[l] its table, x0 the abscissa
// of the table's first point, lag its whole-sample peak; returns the maximiser per lane. Every lane goes through the
// scalar search's operations in the same order; its branches become selects, and the midpoint value the third
// branch needs is taken in every step (a lane not in that branch ignores it). A lane whose bracket has closed keeps
// its values, as the scalar search stops there.
// TLagrangePeak's value at x, per lane (its operations in its order); inlined into each copy of the caller.
[[gnu::always_inline]] inline void LagrangeAt(const v8d *c, const v8d &x0, const v8d &x, v8d &sum) {
  v8d dx[TLagrangePeak::kPoints];
  for (int m = 0; m < TLagrangePeak::kPoints; ++m) {
    dx[m] = x - (x0 + static_cast<double>(m));
  }
  const v8d one = x0 * 0.0 + 1.0; // x0 is finite
  v8d suffix[TLagrangePeak::kPoints];
  suffix[TLagrangePeak::kPoints - 1] = one;
  for (int m = TLagrangePeak::kPoints - 1; m > 0; --m) {
    suffix[m - 1] = suffix[m] * dx[m];
  }
  v8d prefix = one;
  sum = one * 0.0;
  for (int l = 0; l < TLagrangePeak::kPoints; ++l) {
    sum += c[l] * (prefix * suffix[l]);
    prefix *= dx[l];
  }
}

// The golden steps of RefinePeak for eight peaks side by side, lane j being peak j: c[l] its table, x0 the abscissa
// of the table's first point, lag its whole-sample peak; `mid` gets the maximiser per lane. Every lane goes through
// the scalar search's operations in the same order; its branches become selects, and the midpoint value the third
// branch needs is taken in every step (a lane not in that branch ignores it). A lane whose bracket has closed keeps
// its values, as the scalar search stops there.
ORMELIN_WIDEST_VECTORS void GoldenSteps(const v8d *c, const v8d *x0p, const v8d *lagp, v8d *midOut) {
  const v8d x0 = *x0p;
  const v8d lag = *lagp;
  v8d lo = lag - 1.0;
  v8d hi = lag + 1.0;
  v8d mid = lag;
  v8d fmid;
  LagrangeAt(c, x0, mid, fmid);
  v8i open = {-1, -1, -1, -1, -1, -1, -1, -1}; // every lane
  for (int step = 0; step < kGoldenSteps; ++step) {
    open &= ~(hi - lo < 1e-15);
    const v8d q = (hi - lo) / 4.0;
    const v8d x1 = lo + q;
    const v8d x2 = hi - q;
    const v8d xm = (x1 + x2) / 2.0;
    v8d f1;
    v8d f2;
    v8d fm;
    LagrangeAt(c, x0, x1, f1);
    LagrangeAt(c, x0, x2, f2);
    LagrangeAt(c, x0, xm, fm);
    const v8i first = (f1 > f2) & (f1 > fmid);
    const v8i second = ~first & ~(f1 > f2) & (f2 > fmid);
    const v8d nlo = first ? lo : (second ? mid : x1);
    const v8d nhi = first ? mid : (second ? hi : x2);
    const v8d nmid = first ? x1 : (second ? x2 : xm);
    const v8d nfmid = first ? f1 : (second ? f2 : fm);
    lo = open ? nlo : lo;
    hi = open ? nhi : hi;
    mid = open ? nmid : mid;
    fmid = open ? nfmid : fmid;
  }
  *midOut = mid;
}

} // namespace

double RefinePeak(const double *corr, std::size_t n, int width, int centre) {
  std::array<double, TLagrangePeak::kPoints> y{};
  const auto lag = static_cast<double>(WholePeak(corr, n, width, centre, y.data()));
  const TLagrangePeak poly(y.data(), lag - kLagrangeHalf);

  double lo = lag - 1.0;
  double hi = lag + 1.0;
  double mid = lag;
  double fmid = poly(mid);
  for (int step = 0; step < kGoldenSteps; ++step) {
    if (hi - lo < 1e-15) {
      break;
    }
    const double q = (hi - lo) / 4.0;
    const double x1 = lo + q;
    const double x2 = hi - q;
    const double f1 = poly(x1);
    const double f2 = poly(x2);
    if (f1 > f2 && f1 > fmid) {
      hi = mid;
      mid = x1;
      fmid = f1;
    } else if (!(f1 > f2) && f2 > fmid) {
      lo = mid;
      mid = x2;
      fmid = f2;
    } else {
      lo = x1;
      hi = x2;
      mid = (x1 + x2) / 2.0;
      fmid = poly(mid);
    }
  }
  return mid;
}

void RefinePeaks(const TPeakQuery *queries, std::size_t count, double *lags) {
  static constexpr std::array<double, TLagrangePeak::kPoints> kDen = LagrangeDenominators();
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t m = std::min(kLanes, count - first);
    v8d c[TLagrangePeak::kPoints] = {};
    v8d x0 = {};
    v8d lag = {};
    for (std::size_t j = 0; j < m; ++j) {
      const TPeakQuery &qj = queries[first + j];
      double y[TLagrangePeak::kPoints];
      const auto best = static_cast<double>(WholePeak(qj.Corr, qj.N, qj.Width, qj.Centre, y));
      for (int l = 0; l < TLagrangePeak::kPoints; ++l) {
        c[l][j] = y[l] / kDen[static_cast<std::size_t>(l)]; // the table TLagrangePeak keeps
      }
      x0[j] = best - kLagrangeHalf;
      lag[j] = best;
    }
    v8d mid;
    GoldenSteps(c, &x0, &lag, &mid); // unused lanes: a zero polynomial around lag 0
    for (std::size_t j = 0; j < m; ++j) {
      lags[first + j] = mid[j];
    }
  }
}

void TX4DirDefiner::CheckMics() const {
  if (MicXYZ.size() != kMics) {
    throw std::invalid_argument("four microphone positions required");
  }
}

void TX4DirDefiner::Residuals(const std::array<double, 3> &x, const std::vector<double> &d,
                              std::array<double, kPairs> &out) const {
  const double s[3] = {kRange_m * std::cos(x[0]) * std::sin(x[1]), kRange_m * std::sin(x[0]) * std::sin(x[1]),
                       kRange_m * std::cos(x[1])};
  std::array<double, kMics> dist{};
  for (int i = 0; i < kMics; ++i) {
    const double dx = MicXYZ[i][0] - s[0];
    const double dy = MicXYZ[i][1] - s[1];
    const double dz = MicXYZ[i][2] - s[2];
    dist[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  for (int k = 0; k < kPairs; ++k) {
    out[k] = dist[kPairOrder[k][0]] - dist[kPairOrder[k][1]] - d[k] + x[2];
  }
}

void TX4DirDefiner::Jacobian(const std::array<double, 3> &x, TMat63 &out) const {
  const double cp = std::cos(x[0]);
  const double sp = std::sin(x[0]);
  const double ct = std::cos(x[1]);
  const double st = std::sin(x[1]);
  const double s[3] = {kRange_m * cp * st, kRange_m * sp * st, kRange_m * ct};
  std::array<std::array<double, 3>, kMics> u{};
  for (int i = 0; i < kMics; ++i) {
    double len2 = 0.0;
    for (int j = 0; j < 3; ++j) {
      u[i][j] = s[j] - MicXYZ[i][j];
      len2 += u[i][j] * u[i][j];
    }
    const double len = std::sqrt(len2);
    for (int j = 0; j < 3; ++j) {
      u[i][j] /= len;
    }
  }
  for (int k = 0; k < kPairs; ++k) {
    const auto &ua = u[kPairOrder[k][0]];
    const auto &ub = u[kPairOrder[k][1]];
    const double wx = ua[0] - ub[0];
    const double wy = ua[1] - ub[1];
    const double wz = ua[2] - ub[2];
    out[k][0] = s[0] * wy - s[1] * wx;
    out[k][1] = kRange_m * ct * (cp * wx + sp * wy) - kRange_m * st * wz;
    out[k][2] = 1.0;
  }
}

void TX4DirDefiner::G_fun(const std::vector<double> &x, const std::vector<double> &d, std::vector<double> &out) const {
  CheckMics();
  if (x.size() < 3 || d.size() < kPairs) {
    throw std::invalid_argument("model needs (phi, theta, beta) and six delays");
  }
  std::array<double, kPairs> r{};
  Residuals({x[0], x[1], x[2]}, d, r);
  out.assign(r.begin(), r.end());
}

void TX4DirDefiner::J_fun(const std::vector<double> &x, TMatrix &out) const {
  CheckMics();
  if (x.size() < 2) {
    throw std::invalid_argument("model needs (phi, theta, beta)");
  }
  TMat63 j{};
  Jacobian({x[0], x[1], 0.0}, j); // beta does not enter the Jacobian
  out.resize(kPairs);
  for (int k = 0; k < kPairs; ++k) {
    out[k].assign(j[k].begin(), j[k].end());
  }
}

void TX4DirDefiner::Newton(std::vector<double> &x, const std::vector<double> &d, const std::vector<double> &w,
                           int limit, double tol, std::vector<double> &result) {
  if (x.size() != 3) {
    throw std::invalid_argument("Newton needs a start point (phi, theta, beta)");
  }
  if (d.size() != kPairs) {
    throw std::invalid_argument("Newton needs six delays");
  }
  CheckMics();
  std::array<double, 3> xk{x[0], x[1], x[2]};
  std::array<double, 3> next = xk;
  std::array<double, kPairs> resid{};
  Residuals(xk, d, resid);
  TMat63 J{};
  TMat36 Jt{};
  if (limit >= 1) {
    // The weighted normal equations J^T W J with W = diag(w): the weights must be one per pair.
    if (w.size() != kPairs) {
      throw std::runtime_error("BAD MATRS");
    }
    TMat66 W{};
    for (std::size_t i = 0; i < kPairs; ++i) {
      W[i][i] = w[i];
    }
    TMat36 A{}, C{}, K{};
    TMat33 B{}, Binv{};
    double lastStep = HUGE_VAL;
    for (int iter = 0;;) {
      Jacobian(xk, J);
      Transpose(J, Jt);
      MatMul(Jt, W, A);
      MatMul(A, J, B);
      dd_mapi::matr_inverse(B, Binv);
      MatMul(Binv, Jt, C);
      MatMul(C, W, K);
      double step2 = 0.0;
      for (std::size_t i = 0; i < 3; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < kPairs; ++k) {
          s += K[i][k] * resid[k];
        }
        next[i] = xk[i] - s;
        step2 += (next[i] - xk[i]) * (next[i] - xk[i]);
      }
      const double step = std::sqrt(step2);
      if (step < tol) {
        break;
      }
      // Near the solution each step squares the last; once a tiny step no longer halves, the iterate only
      // wanders in the rounding of the residuals (about 1e-13 here, above a tolerance of 1e-14) and more
      // iterations change nothing but the last bits. The step is still taken: the result is that of a converged
      // iteration.
      const bool atRounding = step < kRoundingStep && step > 0.5 * lastStep;
      lastStep = step;
      xk = next;
      if (atRounding) {
        Residuals(xk, d, resid);
        break;
      }
      Residuals(xk, d, resid);
      double r2 = 0.0;
      for (const double r : resid) {
        r2 += r * r;
      }
      if (std::sqrt(r2) < tol) {
        break;
      }
      if (++iter >= limit) {
        break;
      }
    }
  }
  // With no iteration requested the start point itself is reported, normalised, with its quality.
  x.assign(xk.begin(), xk.end());
  result.assign(next.begin(), next.end());

  // Angles into phi in [0, 2pi), theta in [0, pi]; a theta beyond pi is the same direction seen with phi
  // turned by pi.
  double phi = result[0];
  double theta = result[1];
  if (theta < 0) {
    theta = std::fmod(theta, -kTwoPi) + kTwoPi;
  }
  theta = std::fmod(theta, kTwoPi);
  if (theta > kPi) {
    phi = phi + kPi;
    theta = kTwoPi - theta;
  }
  if (phi < 0) {
    phi = std::fmod(phi, -kTwoPi) + kTwoPi;
  }
  phi = std::fmod(phi, kTwoPi);
  result[0] = phi;
  result[1] = theta;

  // Quality: spread of the unweighted solution at the last iterate, signed like beta.
  TMat33 JtJ{}, Cq{};
  Jacobian(xk, J);
  Transpose(J, Jt);
  MatMul(Jt, J, JtJ);
  dd_mapi::matr_inverse(JtJ, Cq);
  const double q = std::sqrt(Cq[0][0] + Cq[1][1] + Cq[2][2]) * result[2];
  result.push_back(q);
}

} // namespace dir_def_core

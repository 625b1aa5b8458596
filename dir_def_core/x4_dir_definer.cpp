#include "dir_def_core/x4_dir_definer.h"

#include "dir_def_core/angles.h"
#include "dir_def_core/dd_mapi.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dir_def_core {
namespace {

// Source model range, metres: the source is a point this far from the array origin.
constexpr double kRange_m = 100.0;
// Lagrange table half-width around the integer peak (11 points).
constexpr int kLagrangeHalf = 5;
// Quarter-point steps of the sub-sample maximisation; 2/2^19 samples bracket at the end.
constexpr int kGoldenSteps = 19;
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

// out = a * b; "BAD MATRS" when the columns of a do not match the rows of b.
void MatMul(const TX4DirDefiner::TMatrix &a, const TX4DirDefiner::TMatrix &b, TX4DirDefiner::TMatrix &out) {
  if (a.empty() || b.empty() || a[0].size() != b.size()) {
    throw std::runtime_error("BAD MATRS");
  }
  const std::size_t rows = a.size();
  const std::size_t inner = b.size();
  const std::size_t cols = b[0].size();
  out.resize(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    out[i].resize(cols);
    for (std::size_t j = 0; j < cols; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < inner; ++k) {
        s += a[i][k] * b[k][j];
      }
      out[i][j] = s;
    }
  }
}

void Transpose(const TX4DirDefiner::TMatrix &a, TX4DirDefiner::TMatrix &out) {
  const std::size_t rows = a.size();
  const std::size_t cols = rows == 0 ? 0 : a[0].size();
  out.resize(cols);
  for (std::size_t j = 0; j < cols; ++j) {
    out[j].resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      out[j][i] = a[i][j];
    }
  }
}

// Value at x of the degree-10 Lagrange polynomial through (x0 + l, y[l]), l = 0..10.
double Lagrange(const double *y, double x0, double x) {
  double sum = 0.0;
  for (int l = 0; l <= 2 * kLagrangeHalf; ++l) {
    double prod = 1.0;
    for (int m = 0; m <= 2 * kLagrangeHalf; ++m) {
      if (m != l) {
        prod *= (x - (x0 + m)) / static_cast<double>(l - m);
      }
    }
    sum += y[l] * prod;
  }
  return sum;
}

} // namespace

const TX4DirDefiner::TPlans &TX4DirDefiner::PlansFor(std::size_t n) {
  for (const auto &p : Plans) {
    if (p->Fwd.size() == n) {
      return *p;
    }
  }
  Plans.push_back(std::make_unique<TPlans>(static_cast<unsigned int>(n)));
  return *Plans.back();
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
  for (auto &v : Cross) {
    v.resize(n);
  }
  Corr.resize(n);
  const double invN = 1.0 / static_cast<double>(N);

  // 1-2. Spectra and energies.
  double eTot = 0.0;
  for (int c = 0; c < kMics; ++c) {
    const std::vector<double> &x = frames[c];
    TCVector &s = Spectra[c];
    double e = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      s[i] = {x[i], 0.0};
      e += x[i] * x[i];
    }
    plans.Fwd.transform(s.data());
    for (auto &v : s) {
      v *= invN;
    }
    e /= static_cast<double>(N);
    if (static_cast<std::size_t>(c) < gains.size() && gains[c] > 0) {
      e *= gains[c];
    }
    Energy[c] = e;
    eTot += e;
  }

  // 3. Coarse whole-sample lags from the plain cross-correlation of each pair. After the half swap lag 0
  // sits at index h; the window is the 2W + 1 lags centred on it and D is the true lag p - h (identical
  // channels give 0, channel a delayed by d samples gives d).
  const int maxLag = MaxLag;
  for (int p = 0; p < kPairs; ++p) {
    const int a = kPairOrder[p][0];
    const int b = kPairOrder[p][1];
    const TCVector &sa = Spectra[a];
    const TCVector &sb = Spectra[b];
    TCVector &cr = Cross[p];
    for (std::size_t k = 0; k < n; ++k) {
      cr[k] = sa[k] * std::conj(sb[k]);
    }
    std::copy(cr.begin(), cr.end(), Corr.begin());
    plans.Inv.transform(Corr.data());
    for (auto &v : Corr) {
      v *= invN;
    }
    std::swap_ranges(Corr.begin(), Corr.begin() + static_cast<std::ptrdiff_t>(h),
                     Corr.begin() + static_cast<std::ptrdiff_t>(h));
    std::size_t best = h - static_cast<std::size_t>(maxLag);
    for (std::size_t i = best + 1; i <= h + static_cast<std::size_t>(maxLag); ++i) {
      if (Corr[i].real() > Corr[best].real()) {
        best = i;
      }
    }
    D[a][b] = static_cast<double>(static_cast<long>(best) - static_cast<long>(h));
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
  }

  // 7. Refined delays and weights per pair. Designed: the beams' cross-spectrum, whole window. PairRefine: the
  // pair's own cross-spectrum, whose integer peak is the coarse lag itself, so the window is narrowed to the
  // consensus lag instead; this keeps a pair whose own peak was lost in noise on the array's lag.
  delays.clear();
  weights.clear();
  for (int p = 0; p < kPairs; ++p) {
    const int a = kPairOrder[p][0];
    const int b = kPairOrder[p][1];
    weights.push_back(Energy[a] + Energy[b]);
    const TCVector *cross = &Cross[p];
    int centre = 0;
    int width = maxLag;
    if (PairRefine) {
      width = std::min(kPairRefineHalfWidth, maxLag);
      centre = std::clamp(ConsensusLag(a, b), width - maxLag, maxLag - width); // stays in the designed window
    } else {
      const TCVector &ya = Beams[a];
      const TCVector &yb = Beams[b];
      for (std::size_t k = 0; k < n; ++k) {
        Corr[k] = ya[k] * std::conj(yb[k]);
      }
      cross = &Corr;
    }
    delays.push_back(Search_Max_GR(*cross, static_cast<int>(h), width, centre));
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
  // Lag 0 of the rotated correlation sits at index half - 1; the window is centred on lag centreLag.
  const long centre = static_cast<long>(half) - 1 + centreLag;
  CheckLagWindow(n, centre, maxLag);
  const TPlans &plans = PlansFor(n);

  // Unnormalised inverse: the designed inverse with 1/N multiplied back by N, which is exact for N a power
  // of two.
  SearchWork.assign(cross.begin(), cross.end());
  plans.Inv.transform(SearchWork.data());
  // Rotation r[m+1..N-1], r[0..m] with m = N/2: the lag of index j is j - half + 1 (not the half swap of
  // the coarse search).
  const std::size_t m = n / 2;
  Rotated.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    Rotated[j] = SearchWork[(m + 1 + j) % n].real();
  }

  const std::size_t zero = static_cast<std::size_t>(half) - 1;
  auto p = static_cast<std::size_t>(centre - maxLag);
  for (std::size_t i = p + 1; i <= static_cast<std::size_t>(centre + maxLag); ++i) {
    if (Rotated[i] > Rotated[p]) {
      p = i;
    }
  }
  const auto lag = static_cast<double>(static_cast<long>(p) - static_cast<long>(zero));

  const double *y = Rotated.data() + (p - kLagrangeHalf);
  const double x0 = lag - kLagrangeHalf;
  double lo = lag - 1.0;
  double hi = lag + 1.0;
  double mid = lag;
  double fmid = Lagrange(y, x0, mid);
  for (int step = 0; step < kGoldenSteps; ++step) {
    if (hi - lo < 1e-15) {
      break;
    }
    const double q = (hi - lo) / 4.0;
    const double x1 = lo + q;
    const double x2 = hi - q;
    const double f1 = Lagrange(y, x0, x1);
    const double f2 = Lagrange(y, x0, x2);
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
      fmid = Lagrange(y, x0, mid);
    }
  }
  return (1.0 / SampleRate) * mid * SoundSpeed;
}

void TX4DirDefiner::CheckMics() const {
  if (MicXYZ.size() != kMics) {
    throw std::invalid_argument("four microphone positions required");
  }
}

void TX4DirDefiner::G_fun(const std::vector<double> &x, const std::vector<double> &d, std::vector<double> &out) const {
  CheckMics();
  if (x.size() < 3 || d.size() < kPairs) {
    throw std::invalid_argument("model needs (phi, theta, beta) and six delays");
  }
  const double s[3] = {kRange_m * std::cos(x[0]) * std::sin(x[1]), kRange_m * std::sin(x[0]) * std::sin(x[1]),
                       kRange_m * std::cos(x[1])};
  std::array<double, kMics> dist{};
  for (int i = 0; i < kMics; ++i) {
    const double dx = MicXYZ[i][0] - s[0];
    const double dy = MicXYZ[i][1] - s[1];
    const double dz = MicXYZ[i][2] - s[2];
    dist[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  out.clear();
  for (int k = 0; k < kPairs; ++k) {
    out.push_back(dist[kPairOrder[k][0]] - dist[kPairOrder[k][1]] - d[k] + x[2]);
  }
}

void TX4DirDefiner::J_fun(const std::vector<double> &x, TMatrix &out) const {
  CheckMics();
  if (x.size() < 2) {
    throw std::invalid_argument("model needs (phi, theta, beta)");
  }
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
  out.resize(kPairs);
  for (int k = 0; k < kPairs; ++k) {
    const auto &ua = u[kPairOrder[k][0]];
    const auto &ub = u[kPairOrder[k][1]];
    const double wx = ua[0] - ub[0];
    const double wy = ua[1] - ub[1];
    const double wz = ua[2] - ub[2];
    out[k].resize(3);
    out[k][0] = s[0] * wy - s[1] * wx;
    out[k][1] = kRange_m * ct * (cp * wx + sp * wy) - kRange_m * st * wz;
    out[k][2] = 1.0;
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
  const std::size_t nw = w.size();
  W.resize(nw);
  for (std::size_t i = 0; i < nw; ++i) {
    W[i].assign(nw, 0.0);
    W[i][i] = w[i];
  }
  G_fun(x, d, Resid);
  if (limit >= 1) {
    for (int iter = 0;;) {
      J_fun(x, J);
      Transpose(J, Jt);
      MatMul(Jt, W, A);
      MatMul(A, J, B);
      dd_mapi::matr_inverse(B, Binv);
      MatMul(Binv, Jt, C);
      MatMul(C, W, K);
      result.resize(x.size());
      double step2 = 0.0;
      for (std::size_t i = 0; i < x.size(); ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < Resid.size(); ++k) {
          s += K[i][k] * Resid[k];
        }
        result[i] = x[i] - s;
        step2 += (result[i] - x[i]) * (result[i] - x[i]);
      }
      if (std::sqrt(step2) < tol) {
        break;
      }
      std::copy(result.begin(), result.end(), x.begin());
      G_fun(x, d, Resid);
      double r2 = 0.0;
      for (const double r : Resid) {
        r2 += r * r;
      }
      if (std::sqrt(r2) < tol) {
        break;
      }
      if (++iter >= limit) {
        break;
      }
    }
  } else {
    // No iteration requested: report the start point itself, normalised, with its quality.
    result.assign(x.begin(), x.end());
  }

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
  J_fun(x, J);
  Transpose(J, Jt);
  MatMul(Jt, J, JtJ);
  dd_mapi::matr_inverse(JtJ, Cq);
  const double q = std::sqrt(Cq[0][0] + Cq[1][1] + Cq[2][2]) * result[2];
  result.push_back(q);
}

} // namespace dir_def_core

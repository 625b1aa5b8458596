#pragma once
// Measurement and solver stages of the four-microphone direction finder. The stream definer owns one
// TX4DirDefiner on the union engine thread: CovR_2 turns a set of four equally long frames into six pair
// path differences (metres) with weights, and Newton turns those into an azimuth and a polar angle. Work
// arrays and FFT plans are members, built on first use and reused, so a running definer does not allocate.
// Not thread-safe: one owner thread.

#include "dsp/fourier.h"

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

namespace dir_def_core {

// Number of microphones and of microphone pairs. Pair order for every per-pair array: (0,1), (0,2), (0,3),
// (1,2), (1,3), (2,3).
inline constexpr int kMics = 4;
inline constexpr int kPairs = 6;
inline constexpr std::array<std::array<int, 2>, kPairs> kPairOrder{{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}};

// Degree-10 polynomial through the 11 points (x0 + l, y[l]), l = 0..10: the sub-sample model of a correlation
// around its whole-sample peak. The nodes are fixed integers, so their weights 1 / prod_{m != l} (l - m) are
// constants; they are folded into the values once per peak, and each value of the polynomial then costs O(11)
// (prefix and suffix products of x minus the nodes) instead of the O(121) of the plain product formula. Equal
// to that formula up to rounding; exactly 0 contributions from the other nodes at a node.
class TLagrangePeak {
public:
  static constexpr int kPoints = 11;

  // y: kPoints values; x0: abscissa of y[0].
  TLagrangePeak(const double *y, double x0);

  double operator()(double x) const;

private:
  std::array<double, kPoints> C{}; // y[l] / prod_{m != l} (l - m)
  double X0;
};

// Inline: the peak search evaluates two points per step, and inlined their independent chains overlap.
inline double TLagrangePeak::operator()(double x) const {
  // L_l(x) prod_{m != l} (l - m) = prod_{m < l} (x - x_m) * prod_{m > l} (x - x_m): prefix times suffix.
  std::array<double, kPoints> dx{};
  for (int m = 0; m < kPoints; ++m) {
    dx[static_cast<std::size_t>(m)] = x - (X0 + m);
  }
  std::array<double, kPoints> suffix{};
  suffix[kPoints - 1] = 1.0;
  for (std::size_t m = kPoints - 1; m > 0; --m) {
    suffix[m - 1] = suffix[m] * dx[m];
  }
  double prefix = 1.0;
  double sum = 0.0;
  for (std::size_t l = 0; l < C.size(); ++l) {
    sum += C[l] * (prefix * suffix[l]);
    prefix *= dx[l];
  }
  return sum;
}

// The sub-sample peak of a circular correlation (index = lag mod n, n a power of two): the whole-sample maximum
// over centre - width .. centre + width (the first of equal values from the low end), then the maximiser of the
// degree-10 Lagrange polynomial through the 11 values around it, searched in [peak - 1, peak + 1] by 19
// quarter-point steps. In samples. The window plus 5 lags on each side must lie within the correlation.
double RefinePeak(const double *corr, std::size_t n, int width, int centre);

// RefinePeak on each query, the same numbers, up to eight searches run side by side on vectors (their branches as
// selects), so that one search's dependent chain does not wait on the next one's.
struct TPeakQuery {
  const double *Corr;
  std::size_t N;
  int Width;
  int Centre;
};
void RefinePeaks(const TPeakQuery *queries, std::size_t count, double *lags);

class TX4DirDefiner {
public:
  using TCVector = std::vector<std::complex<double>>;
  using TMatrix = std::vector<std::vector<double>>;

  // pairRefine off: step 7 of CovR_2 refines each pair's delay on the beams' cross-spectrum Y_a conj(Y_b),
  // searched over lags -MaxLag..MaxLag. On: on the pair's own cross-spectrum S_a conj(S_b), searched within
  // kPairRefineHalfWidth lags of the pair's consensus lag (ConsensusLag). Fixed for the definer's life.
  explicit TX4DirDefiner(bool pairRefine = false) : PairRefine(pairRefine) {}

  // Lags searched on either side of the consensus lag when each pair is refined on its own cross-spectrum.
  static constexpr int kPairRefineHalfWidth = 1;

  double SoundSpeed = 331.46;                // m/s
  double SampleRate = 37500;                 // Hz
  std::int32_t MaxLag = 50;                  // half-width of every lag search window, samples
  std::vector<std::array<double, 3>> MicXYZ; // microphone positions (x, y, z), metres, index = channel

  bool PairRefineOn() const { return PairRefine; }

  // Six pair path differences (metres; positive when the sound reaches a later than b) and weights (the
  // pair's share of the frame energy) from four frames of length N. gains[c] > 0 scales channel c's energy
  // (missing entries count as no gain). Throws std::length_error "invalid FFT size" unless N is a power of
  // two >= 8, std::invalid_argument when the frames are not four of length N or MaxLag is outside
  // 0 <= MaxLag <= N/2 - 6.
  void CovR_2(const std::vector<std::vector<double>> &frames, int N, std::vector<double> &delays,
              std::vector<double> &weights, const std::vector<double> &gains);

  // Refined lag (converted to metres) of the peak of the correlation whose spectrum is `cross`, searched over
  // lags centreLag - maxLag .. centreLag + maxLag and refined by an 11-point Lagrange polynomial.
  // half = cross.size() / 2. Same exceptions as CovR_2 for an unusable size, or a window that with its
  // Lagrange table does not fit the correlation.
  double Search_Max_GR(const TCVector &cross, int half, int maxLag, int centreLag = 0);

  // Whole-sample lag of pair (a, b) agreed by the array (samples): the median of the direct coarse lag
  // D[a][b] and the two paths through the other microphones, D[a][c] + D[c][b]. With consistent lags it is
  // D[a][b]; one pair whose own correlation peaked on noise is outvoted by the two paths that avoid it.
  // Valid after CovR_2.
  int ConsensusLag(int a, int b) const;

  // Coarse whole-sample lags D[a][b] of the last CovR_2 (samples; D[b][a] = -D[a][b], D[c][c] = 0).
  const std::array<std::array<double, kMics>, kMics> &CoarseLags() const { return D; }

  // Residuals of the source model at x = (phi, theta, beta) for the six measured delays d (metres):
  // out[k] = |s - p_a| - |s - p_b| - d[k] + beta, s the point 100 m away in direction (phi, theta).
  void G_fun(const std::vector<double> &x, const std::vector<double> &d, std::vector<double> &out) const;
  // Jacobian of G_fun at x: six rows of three values (d/dphi, d/dtheta, d/dbeta).
  void J_fun(const std::vector<double> &x, TMatrix &out) const;

  // Weighted Gauss-Newton from x (overwritten with the iterates). result = (phi in [0, 2pi), theta in
  // [0, pi], beta, q). Throws std::runtime_error "BAD MATRS" when the weights do not fit the six pairs,
  // std::invalid_argument when x is not three values, d not six or MicXYZ not four positions.
  void Newton(std::vector<double> &x, const std::vector<double> &d, const std::vector<double> &w, int limit, double tol,
              std::vector<double> &result);

private:
  using TMat63 = std::array<std::array<double, 3>, kPairs>;
  using TMat36 = std::array<std::array<double, kPairs>, 3>;
  using TMat66 = std::array<std::array<double, kPairs>, kPairs>;
  using TMat33 = std::array<std::array<double, 3>, 3>;

  struct TPlans {
    explicit TPlans(unsigned int n);
    dsp::fourier::fwd_complex<double> Fwd;
    dsp::fourier::inv_complex<double> Inv;
    // Rev[i] = bit_reverse(i): the packed inputs are written straight into the order the butterflies want, so
    // the transforms skip their permutation pass.
    std::vector<std::uint32_t> Rev;
  };
  const TPlans &PlansFor(std::size_t n);
  void CheckMics() const;
  // The residuals and Jacobian of G_fun and J_fun in fixed arrays (the same arithmetic), for Newton.
  void Residuals(const std::array<double, 3> &x, const std::vector<double> &d, std::array<double, kPairs> &out) const;
  void Jacobian(const std::array<double, 3> &x, TMat63 &out) const;
  // Search_Max_GR's search and refinement on a real circular correlation (index = lag mod n, unnormalised);
  // the window is checked by the caller.
  double RefineLag(const double *corr, std::size_t n, int maxLag, int centreLag) const;
  // out[j] = real circular correlations of the Hermitian spectra a (real part) and b (imaginary part), from one
  // inverse transform of a + i b; a and b hold bins 0..n/2 (the rest follow by symmetry). Written only for the
  // lags the searches read, |lag| <= MaxLag + 5 (index lag mod n).
  void InverseTwoHermitian(const TPlans &plans, const std::complex<double> *a, const std::complex<double> *b,
                           double *corrA, double *corrB);

  bool PairRefine;
  std::vector<std::unique_ptr<TPlans>> Plans; // one per frame size met so far

  // CovR_2 work, sized on first use.
  std::array<TCVector, kMics> Spectra;          // S_c, forward transforms scaled by 1/N (bins 0..N/2; all N for beams)
  std::array<TCVector, 2> Cross;                // two cross-spectra waiting to share one inverse transform
  std::array<TCVector, kMics> Beams;            // Y_r
  TCVector Packed;                              // two real frames or two Hermitian spectra as one complex signal
  std::array<std::vector<double>, kPairs> Corr; // per pair: circular correlation, unnormalised, index = lag mod N
                                                // (only |lag| <= MaxLag + 5 kept up to date)
  std::array<double, kMics> Energy{};
  std::array<std::array<double, kMics>, kMics> D{};

  // Search_Max_GR work.
  TCVector SearchWork;
  std::vector<double> RealWork;

  // Newton work.
  std::vector<double> Resid;
};

} // namespace dir_def_core

#pragma once
// Streaming front of the direction finder. The union engine owns one TStreamDirDefinerX4 on its thread and
// hands it every completed set of four frames; each call measures the pair delays, solves for the direction,
// optionally smooths the newest solution against the recent ones, and returns it. Not thread-safe: one
// owner thread.

#include "app/dir_def_params.h"
#include "dir_def_core/angles.h"
#include "dir_def_core/x4_dir_definer.h"

#include <array>
#include <cstdint>
#include <vector>

namespace dir_def_core {

// Largest smoothing window accepted ("VinerWnd", frame sets; about 23 minutes at the shipped hop).
inline constexpr int kMaxSmoothWnd = 100000;

// One solution of the locator: phi (rad, in (-pi/2, 3pi/2]), theta (rad), beta (m), q.
using TSolution = std::array<double, 4>;

// Bounded history of solutions: a ring of the newest `capacity` entries, addressed by their index in the
// whole stream (0 for the first solution ever appended). Only those entries are ever read, so a station
// running for months keeps a fixed amount of memory.
class TSolutionHistory {
public:
  explicit TSolutionHistory(int capacity);

  void Append(const TSolution &s);
  // Entries ever appended; the newest has index Count() - 1.
  std::int64_t Count() const { return Appended; }
  // Entry with stream index i; valid for Count() - Capacity() <= i < Count().
  const TSolution &At(std::int64_t i) const;
  TSolution &Newest();
  const TSolution &Newest() const;
  int Capacity() const { return static_cast<int>(Ring.size()); }

private:
  std::vector<TSolution> Ring;
  std::int64_t Appended = 0;
};

// Wiener-type shrinkage of the newest entry (index n = Count() - 1) towards the mean of its window: the
// smoothWnd newest entries when n > smoothWnd, else all n + 1. Azimuths are unwrapped relative to the
// newest entry before their mean and variance are taken; the smoothed azimuth is wrapped back into
// (-pi/2, 3pi/2]. Entries with a non-finite phi, theta or q are left out of the window; an angle whose
// shrinkage is not finite (fewer than two usable entries, or 0/0 when the window does not vary) keeps its
// unsmoothed value. The history needs a capacity of at least smoothWnd + 1.
void SmoothNewestSolution(TSolutionHistory &history, int smoothWnd);

class TStreamDirDefinerX4 {
public:
  // fs: "FSampling" (Hz); smDisp: "SM_Disp" (samples); vSound: "VSound" (m/s); vinerWnd, enableViner:
  // smoothing window and switch; mics: four locations in cm and degrees, rewritten in place to metres and
  // radians; pairRefine: refine each pair's delay on its own cross-spectrum. Throws std::invalid_argument for
  // a microphone count other than four or, with smoothing on, a window outside 2..kMaxSmoothWnd.
  TStreamDirDefinerX4(double fs, int smDisp, double vSound, int vinerWnd, bool enableViner,
                      std::vector<TSrcMirophoneLocation> &mics, bool pairRefine = false);

  // One frame set (four frames of equal power-of-two length >= 8) -> the newest solution (phi, theta, beta,
  // q). The reference stays valid until the next call. Exceptions of CovR_2 and Newton pass through.
  const std::vector<double> &ProcFrame(const std::vector<std::vector<double>> &frames,
                                       const std::vector<double> &gains);

  // Starts (phi, theta in radians) tried again when the solution from the previous direction does not fit its
  // delays: the designed first guess, then azimuths every 120 degrees above and below the horizontal plane.
  static constexpr std::array<std::array<double, 2>, 7> kRestartStarts{{{3.676, 0.55},
                                                                        {0.0, kPi / 3},
                                                                        {2 * kPi / 3, kPi / 3},
                                                                        {4 * kPi / 3, kPi / 3},
                                                                        {kPi / 3, 2 * kPi / 3},
                                                                        {kPi, 2 * kPi / 3},
                                                                        {5 * kPi / 3, 2 * kPi / 3}}};

  std::int64_t FrameCount() const { return Frames; }
  // Weighted RMS residual of the newest solution against its frame set's delays, in samples of path (NaN for a
  // frame set that gave no delays, such as a silent one).
  double LastMisfitSamples() const { return LastMisfit; }
  const TSolutionHistory &History() const { return Hist; }
  const TX4DirDefiner &Definer() const { return Def; }

private:
  bool Started = false;
  TX4DirDefiner Def;
  std::int32_t MaxIter = 50;
  std::int32_t SmoothWnd = 16;
  double Tol = 1e-14;
  std::vector<double> Guess{3.676, 0.55, 0.0}; // start (phi, theta, beta) of the first solve
  bool SmoothOn;
  TSolutionHistory Hist;
  double LastMisfit = 0.0; // samples of path, of the newest solution
  std::int64_t Frames = 0; // frame sets solved (64-bit: a 32-bit count overflows after months)

  // Newton from Guess into S. A solution that misfits the delays by more than one sample of path is a false
  // minimum of the locator (it can hold one even with exact delays once a bad frame set has moved Guess into
  // its basin, and would then keep every later solution there); Newton then runs again from each of
  // kRestartStarts, and the best-fitting solution within one sample of path replaces it. When none fits (the
  // delays themselves are bad) the designed solution stays.
  void Solve();
  // Weighted RMS residual (metres of path) of the solution x = (phi, theta, beta, ...) against the frame set's
  // delays and weights: sqrt(sum w_k r_k^2 / sum w_k).
  double Misfit(const std::vector<double> &x);

  std::vector<double> Delays, Weights, S, Out; // per-frame work, sized on first use
  std::vector<double> Start, Candidate, Resid; // restart work
};

} // namespace dir_def_core

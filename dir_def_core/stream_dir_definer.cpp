#include "dir_def_core/stream_dir_definer.h"

#include "dir_def_core/angles.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace dir_def_core {
namespace {

constexpr double kDegToRad = 0.017453292519943295;
const std::vector<double> kFirstGuess{3.676, 0.55, 0.0}; // about 210.6 and 31.5 degrees

int CheckedCapacity(int capacity) {
  if (capacity < 1) {
    throw std::invalid_argument("history capacity must be at least 1");
  }
  return capacity;
}

// Smoothing reads the newest SmoothWnd + 1 entries; without smoothing only the last one is read.
int HistoryCapacity(bool smoothOn, int smoothWnd) {
  if (!smoothOn) {
    return 1;
  }
  if (smoothWnd < 2 || smoothWnd > kMaxSmoothWnd) {
    throw std::invalid_argument("smoothing window must be between 2 and " + std::to_string(kMaxSmoothWnd));
  }
  return smoothWnd + 1;
}

bool Finite(const TSolution &s) { return std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[3]); }

} // namespace

TSolutionHistory::TSolutionHistory(int capacity) : Ring(static_cast<std::size_t>(CheckedCapacity(capacity))) {}

void TSolutionHistory::Append(const TSolution &s) {
  Ring[static_cast<std::size_t>(Appended % static_cast<std::int64_t>(Ring.size()))] = s;
  ++Appended;
}

const TSolution &TSolutionHistory::At(std::int64_t i) const {
  const auto cap = static_cast<std::int64_t>(Ring.size());
  if (i < 0 || i >= Appended || i < Appended - cap) {
    throw std::out_of_range("history entry no longer kept");
  }
  return Ring[static_cast<std::size_t>(i % cap)];
}

TSolution &TSolutionHistory::Newest() { return const_cast<TSolution &>(std::as_const(*this).Newest()); }

const TSolution &TSolutionHistory::Newest() const { return At(Appended - 1); }

void SmoothNewestSolution(TSolutionHistory &history, int smoothWnd) {
  const std::int64_t n = history.Count() - 1;
  if (n < 0) {
    return;
  }
  const std::int64_t first = n > smoothWnd ? n - smoothWnd + 1 : 0;
  if (n - first + 1 > history.Capacity()) {
    throw std::invalid_argument("history shorter than the smoothing window");
  }
  TSolution &newest = history.Newest();
  const double phiN = newest[0];
  const double thetaN = newest[1];

  // Sums from the newest entry backwards; phi unwrapped relative to the newest entry.
  std::int64_t m = 0;
  double sum[3] = {0.0, 0.0, 0.0}; // phi, theta, q
  for (std::int64_t i = n; i >= first; --i) {
    const TSolution &e = history.At(i);
    if (!Finite(e)) {
      continue;
    }
    sum[0] += UnwrapNear(e[0], phiN);
    sum[1] += e[1];
    sum[2] += e[3];
    ++m;
  }
  const double mean[3] = {sum[0] / static_cast<double>(m), sum[1] / static_cast<double>(m),
                          sum[2] / static_cast<double>(m)};
  double var[3] = {0.0, 0.0, 0.0};
  for (std::int64_t i = n; i >= first; --i) {
    const TSolution &e = history.At(i);
    if (!Finite(e)) {
      continue;
    }
    const double dv[3] = {UnwrapNear(e[0], phiN) - mean[0], e[1] - mean[1], e[3] - mean[2]};
    for (int j = 0; j < 3; ++j) {
      var[j] += dv[j] * dv[j];
    }
  }
  for (double &v : var) {
    v /= static_cast<double>(m - 1);
  }

  double phiS = (phiN - mean[0]) * var[0] / (var[0] + var[2]) + mean[0];
  const double thetaS = (thetaN - mean[1]) * var[1] / (var[1] + var[2]) + mean[1];
  if (phiS < 0) {
    phiS = std::fmod(phiS, -kTwoPi) + kTwoPi;
  }
  phiS = std::fmod(phiS, kTwoPi);
  if (phiS > kAzimuthTop) {
    phiS -= kTwoPi;
  }
  if (m >= 2 && std::isfinite(phiS)) {
    newest[0] = phiS;
  }
  if (m >= 2 && std::isfinite(thetaS)) {
    newest[1] = thetaS;
  }
}

TStreamDirDefinerX4::TStreamDirDefinerX4(double fs, int smDisp, double vSound, int vinerWnd, bool enableViner,
                                         std::vector<TSrcMirophoneLocation> &mics, bool pairRefine)
    : Def(pairRefine), SmoothWnd(vinerWnd), SmoothOn(enableViner), Hist(HistoryCapacity(enableViner, vinerWnd)) {
  if (mics.size() != kMics) {
    throw std::invalid_argument("four microphone locations required");
  }
  Def.SoundSpeed = vSound;
  Def.SampleRate = fs;
  Def.MaxLag = smDisp;
  Def.MicXYZ.resize(mics.size());
  for (std::size_t i = 0; i < mics.size(); ++i) {
    TSrcMirophoneLocation &loc = mics[i];
    loc.L = loc.L / 100;
    loc.Fi = loc.Fi * kDegToRad;
    loc.Tetta = loc.Tetta * kDegToRad;
    Def.MicXYZ[i] = {loc.L * std::sin(loc.Tetta) * std::cos(loc.Fi), loc.L * std::sin(loc.Tetta) * std::sin(loc.Fi),
                     loc.L * std::cos(loc.Tetta)};
  }
  Delays.reserve(kPairs);
  Weights.reserve(kPairs);
  S.reserve(4);
  Out.reserve(4);
  Start.reserve(3);
  Candidate.reserve(4);
  Resid.reserve(kPairs);
}

double TStreamDirDefinerX4::Misfit(const std::vector<double> &x) {
  Start.assign(x.begin(), x.begin() + 3);
  Def.G_fun(Start, Delays, Resid);
  double sum = 0.0;
  double wSum = 0.0;
  for (std::size_t k = 0; k < Resid.size(); ++k) {
    sum += Weights[k] * Resid[k] * Resid[k];
    wSum += Weights[k];
  }
  return std::sqrt(sum / wSum);
}

void TStreamDirDefinerX4::Solve() {
  Def.Newton(Guess, Delays, Weights, MaxIter, Tol, S);
  const double limit = Def.SoundSpeed / Def.SampleRate; // one sample of path, metres
  double best = Misfit(S);
  LastMisfit = best / limit;
  if (!(best > limit)) {
    return; // fits (or nothing can be judged: a silent frame set gives NaN, which no restart mends)
  }
  for (const auto &start : kRestartStarts) {
    Start.assign({start[0], start[1], 0.0});
    Def.Newton(Start, Delays, Weights, MaxIter, Tol, Candidate);
    const double misfit = Misfit(Candidate);
    if (misfit <= limit && misfit < best) {
      best = misfit;
      LastMisfit = best / limit;
      S.assign(Candidate.begin(), Candidate.end());
    }
  }
}

const std::vector<double> &TStreamDirDefinerX4::ProcFrame(const std::vector<std::vector<double>> &frames,
                                                          const std::vector<double> &gains) {
  if (frames.empty()) {
    throw std::invalid_argument("four frames required");
  }
  const int n = static_cast<int>(std::min<std::size_t>(frames[0].size(), std::size_t{1} << 30));
  Def.CovR_2(frames, n, Delays, Weights, gains);
  if (Started) {
    const TSolution &prev = Hist.Newest();
    if (std::isfinite(prev[0]) && std::isfinite(prev[1])) {
      Guess.assign({prev[0], prev[1], 0.0});
    } else {
      // A silent or failed frame set left no usable previous direction; starting from it would keep every
      // later solution non-finite, so start afresh.
      Guess.assign(kFirstGuess.begin(), kFirstGuess.end());
    }
  }
  Solve();
  if (S[0] > kAzimuthTop) {
    S[0] = S[0] - kTwoPi;
  }
  Hist.Append({S[0], S[1], S[2], S[3]});
  if (Started && SmoothOn) {
    SmoothNewestSolution(Hist, SmoothWnd);
  }
  Started = true;
  ++Frames;
  const TSolution &last = Hist.Newest();
  Out.assign(last.begin(), last.end());
  return Out;
}

} // namespace dir_def_core

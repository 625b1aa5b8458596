// Cost of the direction half of the union engine's loop: per block of 400 samples x 4 channels, the
// preprocessor's per-sample filtering and framing plus the stream definer on every completed frame set,
// with the shipped settings. The counter "x_realtime" is seconds of sound processed per second of CPU time
// (above 1 keeps up with the array).

#include "app/dir_def_params.h"
#include "dir_def_core/moving_averanger.h"
#include "dir_def_core/preprocessor.h"
#include "dir_def_core/stream_dir_definer.h"
#include "engines/hybrid_steps.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr double kFs = 37500.0;
constexpr double kC = 343.0;
constexpr int kBlock = 400;
constexpr int kFrameSize = 1024;

// Ten seconds of four channels: broadband noise arriving from about azimuth 120, polar angle 75 degrees,
// plus independent noise 20 dB down.
std::vector<std::vector<double>> MakeScene() {
  const auto n = static_cast<std::size_t>(10 * kFs);
  std::mt19937 gen(5);
  std::normal_distribution<double> g(0.0, 1000.0);
  std::vector<double> src(n + 64);
  for (auto &v : src) {
    v = g(gen);
  }
  // Far-field arrival delays for that direction and the shipped geometry, rounded to whole samples, plus 20.
  const int delays[4] = {17, 25, 9, 25};
  std::vector<std::vector<double>> ch(4, std::vector<double>(n));
  for (std::size_t c = 0; c < 4; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      ch[c][i] = src[i + 32 - static_cast<std::size_t>(delays[c])] + 0.1 * g(gen);
    }
  }
  return ch;
}

// The counters of both benchmarks: seconds of sound per CPU second, and the last azimuth as a sanity check.
void ReportRealTime(benchmark::State &state, double direction_deg) {
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kFs, benchmark::Counter::kIsRate);
  state.counters["azimuth_deg"] = direction_deg;
}

void BM_DirectionHalf(benchmark::State &state) {
  static const std::vector<std::vector<double>> scene = MakeScene();
  const bool pairRefine = state.range(0) != 0;
  std::vector<TSrcMirophoneLocation> mics{{10, 0, 0}, {10, 0, 90}, {10, 120, 90}, {10, 240, 90}};
  dir_def_core::TStreamDirDefinerX4 definer(kFs, 24, kC, 64, false, mics, pairRefine);
  dir_def_core::TUniversalPreprocessor pre;
  pre.Init(4, kFrameSize, kFrameSize / 2, 4000, 20000, kFs);
  TAngleAveranger avgPhi(8);
  TMovingAveranger avgTheta(8);
  TMovingAveranger avgBeta(8);
  std::vector<std::vector<double>> frames(4);
  const std::vector<double> gains(4, -1.0);
  const std::size_t len = scene[0].size();
  std::size_t pos = 0;
  double direction_deg = 0.0;
  for (auto _ : state) {
    if (pos + kBlock > len) {
      pos = 0;
    }
    for (int i = 0; i < kBlock; ++i, ++pos) {
      const double s[4] = {scene[0][pos], scene[1][pos], scene[2][pos], scene[3][pos]};
      if (pre.PushSample(s, frames)) {
        const std::vector<double> &sol = definer.ProcFrame(frames, gains);
        double m0 = 0;
        double m1 = 0;
        double m2 = 0;
        const bool r0 = avgPhi.Push(sol[0], m0);
        const bool r1 = avgTheta.Push(sol[1], m1);
        const bool r2 = avgBeta.Push(sol[2], m2);
        if (r0 && r1 && r2) {
          direction_deg = m0 * 180 / std::numbers::pi;
        }
      }
    }
    benchmark::DoNotOptimize(direction_deg);
  }
  ReportRealTime(state, direction_deg);
}

// The union engine's own direction half (TDirectionHalf, block-wise) on the shipped settings/dir_def.json, the
// same scene, block after block as the engine reads them.
void BM_ShippedDirectionHalf(benchmark::State &state) {
  static const std::vector<std::vector<double>> scene = MakeScene();
  TDirDefParams params;
  params.LoadJS(ORMELIN_SOURCE_DIR "/settings/dir_def.json");
  TDirectionHalf half(params);
  std::vector<std::vector<double>> block(4, std::vector<double>(kBlock));
  const std::size_t len = scene[0].size();
  std::size_t pos = 0;
  double direction_deg = 0.0;
  for (auto _ : state) {
    pos = pos + kBlock > len ? 0 : pos;
    for (std::size_t c = 0; c < 4; ++c) {
      std::copy(scene[c].begin() + static_cast<std::ptrdiff_t>(pos),
                scene[c].begin() + static_cast<std::ptrdiff_t>(pos + kBlock), block[c].begin());
    }
    pos += kBlock;
    half.ProcessBlock(block[0], block[1], block[2], block[3], [&](int, double deg) { direction_deg = deg; });
    benchmark::DoNotOptimize(direction_deg);
  }
  ReportRealTime(state, direction_deg);
}

} // namespace

BENCHMARK(BM_ShippedDirectionHalf)->MeasureProcessCPUTime();
BENCHMARK(BM_DirectionHalf)->ArgName("PairRefine")->Arg(0)->Arg(1)->MeasureProcessCPUTime();

BENCHMARK_MAIN();

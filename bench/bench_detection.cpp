// One channel's detection chain (feature processor + histogram classifier) fed block by block, as a ratio
// to real time: "x_realtime" is seconds of sound processed per second of CPU at 37500 samples/s.

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "detection/channel_detector.h"
#include "detection/pvc2/median_filter.h"
#include "detection/pvc2/pvc_processor.h"
#include "detection/x4_detectors.h"
#include "micro4/samples_src.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr double kSampleRate_hz = 37500.0;
constexpr std::size_t kBlock = 400;

// A fixed configuration of its own (NFFT 1024, half overlap, MF_Wnd 30), so its figures stay comparable whatever
// the shipped settings become; the Shipped benchmarks below read settings/.
detection::TDetectConfig BuiltInConfig() {
  detection::TDetectConfig c;
  c.NFFT = 1024;
  c.OverlapFFT = 0.5;
  c.N_MFCC = 6;
  c.JJ = 12;
  c.F_max = 10000;
  c.F_mid = 7000;
  c.F_min = 4000;
  c.F_Smp = 37500;
  c.MF_Wnd = 30;
  c.M = 2;
  c.KK = 10;
  c.NN = 11;
  c.KN = 12;
  c.border = 0.001;
  return c;
}

// Projects onto the two band entropies; every other bin of the 16 x 16 grid is trained.
dtc_v2::TTrainingRes Training() {
  dtc_v2::TTrainingRes t;
  t.maxX.assign(8, 0.0);
  t.minX.assign(8, 1.0);
  t.X0.assign(8, 0.0);
  t.x00 = {0.0, 0.0};
  t.w = {{1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0}};
  t.PowCount = 1;
  t.aabb = {0.0, 0.0, 1.5, 1.5};
  t.NM = 16;
  t.M = 2;
  for (int b = 0; b < 256; b += 2) {
    t.ind.push_back(b);
    t.pp.push_back(1 + b % 3);
  }
  return t;
}

// Four seconds of a rotor-like harmonic series plus noise, as 16-bit sample values.
std::vector<double> Sound() {
  std::mt19937 gen(7);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<double> x(static_cast<std::size_t>(4 * kSampleRate_hz));
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = noise(gen);
    for (int h = 1; h <= 8; ++h) {
      v += 2000.0 / h * std::sin(2.0 * M_PI * 560.0 * h * static_cast<double>(i) / kSampleRate_hz);
    }
    x[i] = std::round(v);
  }
  return x;
}

void SetRealtime(benchmark::State &state) {
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kSampleRate_hz,
                                                    benchmark::Counter::kIsRate);
}

// One channel's chain with settings `c` and training `t`, 400 samples per iteration.
void RunChain(benchmark::State &state, const detection::TDetectConfig &c, const dtc_v2::TTrainingRes &t) {
  const bool dense = state.range(0) != 0;
  const std::vector<double> x = Sound();
  detection::TChannelDetector chain(c, t, dense);
  std::size_t pos = 0;
  double sink = 0.0;
  for (auto _ : state) {
    // As the detector thread feeds it: a block at a time (the sound's length is a whole number of blocks).
    chain.PushSamples(x.data() + pos, kBlock, [&sink](double score) { sink += score; });
    pos = pos + kBlock == x.size() ? 0 : pos + kBlock;
    benchmark::DoNotOptimize(sink);
  }
  SetRealtime(state);
}

void BM_ChannelChainBlock(benchmark::State &state) { RunChain(state, BuiltInConfig(), Training()); }
BENCHMARK(BM_ChannelChainBlock)->Arg(0)->Arg(1)->ArgName("dense");

// The same chain with the station's shipped settings/detect.json and settings/train.json (NFFT 2048, 3/4
// overlap, MF_Wnd 10): the configuration the real-time budget is stated for.
void BM_ShippedChannelChainBlock(benchmark::State &state) {
  detection::TDetectConfig c;
  c.ReadFromJson(std::string(ORMELIN_SOURCE_DIR) + "/settings/detect.json");
  dtc_v2::TTrainingRes t;
  if (!t.Load(std::string(ORMELIN_SOURCE_DIR) + "/settings/train.json", c.IsDynamicNet)) {
    state.SkipWithError("settings/train.json unreadable");
    return;
  }
  RunChain(state, c, t);
}
BENCHMARK(BM_ShippedChannelChainBlock)->Arg(0)->Arg(1)->ArgName("dense");

// The feature processor alone with the shipped settings.
// The feature processor alone over blocks of 400 samples of the endless sound.
void RunProcessor(benchmark::State &state, const detection::TDetectConfig &c) {
  const std::vector<double> x = Sound();
  pvc2::TPVC_Processor proc(c);
  std::vector<double> feature;
  feature.reserve(static_cast<std::size_t>(proc.FeatureLength()));
  std::size_t pos = 0;
  for (auto _ : state) {
    for (std::size_t done = 0; done < kBlock;) {
      feature.clear();
      bool framed = false;
      done += proc.ProcSamples(x.data() + pos + done, kBlock - done, feature, framed);
    }
    pos = pos + kBlock == x.size() ? 0 : pos + kBlock;
    benchmark::DoNotOptimize(feature.data());
  }
  SetRealtime(state);
}

void BM_ShippedProcessorBlock(benchmark::State &state) {
  detection::TDetectConfig c;
  c.ReadFromJson(std::string(ORMELIN_SOURCE_DIR) + "/settings/detect.json");
  RunProcessor(state, c);
}
BENCHMARK(BM_ShippedProcessorBlock);

void BM_ProcessorBlock(benchmark::State &state) { RunProcessor(state, BuiltInConfig()); }

// The spectral median filter alone at the shipped size (MF_Wnd 10 over the 437 bins up to 8 kHz of a 2048-point
// frame), one frame per iteration, as a ratio to real time at the shipped hop (512 samples); wide:1 is the byte-rank
// kernel where this CPU has it, wide:0 the portable one.
void BM_MedianFilterFrame(benchmark::State &state) {
  constexpr int kWnd = 10;
  constexpr int kBins = 437;
  std::mt19937 gen(13);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<std::complex<double>> X(kBins + kWnd);
  for (auto &z : X) {
    z = {nd(gen), nd(gen)};
  }
  pvc2::TMedianFilter mf(kWnd, kBins);
  mf.Wide = mf.Wide && state.range(0) != 0;
  for (auto _ : state) {
    mf.Process(X);
    benchmark::DoNotOptimize(mf.Out.data());
  }
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 512.0 / kSampleRate_hz, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MedianFilterFrame)->Arg(0)->Arg(1)->ArgName("wide");
BENCHMARK(BM_ProcessorBlock);

// An endless source: block i of every channel is the sound's block i modulo its length, available at once,
// so the detector set runs as fast as its threads allow.
class TLoopSource final : public TAbstractSamplesSrc {
public:
  explicit TLoopSource(const std::vector<double> &x) : x_(x) {}
  void ReadAllCH(std::vector<double> &a, std::vector<double> &b, std::vector<double> &c, std::vector<double> &d,
                 int index) override {
    Fill(a, index);
    Fill(b, index);
    Fill(c, index);
    Fill(d, index);
  }
  bool NonBlockReadAllCH(std::vector<double> &a, std::vector<double> &b, std::vector<double> &c, std::vector<double> &d,
                         int index) override {
    ReadAllCH(a, b, c, d, index);
    return true;
  }
  void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int /*channel*/) override { Fill(v, index); }
  int BlocksCount() override { return 70000; }
  bool Start() override { return true; }

private:
  void Fill(std::vector<double> &v, int index) const {
    const std::size_t blocks = x_.size() / kBlock;
    const std::size_t first = (static_cast<std::size_t>(index) % blocks) * kBlock;
    v.assign(x_.begin() + static_cast<std::ptrdiff_t>(first), x_.begin() + static_cast<std::ptrdiff_t>(first + kBlock));
  }
  const std::vector<double> &x_;
};

// The whole detector set (four detector threads and the joining thread) until it has published `records`
// records of four scores; wall-clock time, since the work is spread over threads.
void BM_DetectorSet(benchmark::State &state) {
  const std::vector<double> x = Sound();
  const std::string path =
      (std::filesystem::temp_directory_path() / ("ormelin_bench_train_" + std::to_string(::getpid()) + ".json"))
          .string();
  Training().Save(path);
  detection::TDetectConfig config = BuiltInConfig();
  config.js_train_fname = path;
  TLoopSource src(x);
  constexpr int kRecords = 200;
  for (auto _ : state) {
    detection::TX4Detectors set;
    set.Init(&src, &config, false);
    std::array<double, 4> q{};
    for (int got = 0; got < kRecords;) {
      if (set.TryRead(q)) {
        ++got;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    set.StopAll();
  }
  std::filesystem::remove(path);
  // Samples per channel behind kRecords records: the first window (NN x KK hops) plus KK hops per later record.
  const double hops = config.NN * config.KK + (kRecords - 1) * config.KK;
  const double samples = config.NFFT + (hops - 1) * (config.NFFT / 2);
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * samples / kSampleRate_hz,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DetectorSet)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

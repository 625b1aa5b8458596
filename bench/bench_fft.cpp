// The FFT plans per transform, at the sizes the station uses (512 .. 4096): the complex plan in place and the
// real-input plan. Items per second are transforms.

#include <complex>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "dsp/fourier.h"

namespace {

void BM_FwdComplex(benchmark::State &state) {
  const auto n = static_cast<unsigned>(state.range(0));
  const dsp::fourier::fwd_complex<double> plan(n);
  std::mt19937 gen(1);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<std::complex<double>> x(n);
  for (auto &v : x) {
    v = {nd(gen), nd(gen)};
  }
  for (auto _ : state) {
    // Transforming the previous output keeps the data in cache and the values bounded after rescaling.
    plan.transform(x.data());
    x[0] *= 1.0 / n;
    benchmark::DoNotOptimize(x.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FwdComplex)->RangeMultiplier(2)->Range(512, 4096);

void BM_FwdReal(benchmark::State &state) {
  const auto n = static_cast<unsigned>(state.range(0));
  const dsp::fourier::fwd_real<double> plan(n);
  std::mt19937 gen(1);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<double> x(n);
  for (auto &v : x) {
    v = nd(gen);
  }
  std::vector<std::complex<double>> out(n / 2 + 1);
  for (auto _ : state) {
    plan.transform(x.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FwdReal)->RangeMultiplier(2)->Range(512, 4096);

} // namespace

BENCHMARK_MAIN();

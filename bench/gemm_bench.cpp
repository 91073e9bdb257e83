// SGEMM throughput of the runtime's kernel layer at the shapes the Whisper
// models use, and the square products the library is usually judged by.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Platform/ML/Gemm.hpp"

namespace {

using platform::ml::kernels::Transpose;

void runGemm(benchmark::State& state, size_t m, size_t n, size_t k, Transpose tb) {
  std::mt19937 generator(7);
  std::uniform_real_distribution<float> uniform(-1, 1);
  std::vector<float> a(m * k), b(k * n), c(m * n);
  for (auto& v : a) v = uniform(generator);
  for (auto& v : b) v = uniform(generator);
  const size_t ldb = tb == Transpose::yes ? k : n;
  for (auto _ : state) {
    platform::ml::kernels::sgemm(Transpose::no, tb, m, n, k, 1.0f, a.data(), k, b.data(), ldb, 0.0f,
                                 c.data(), n);
    benchmark::DoNotOptimize(c.data());
  }
  state.counters["GFLOP/s"] = benchmark::Counter(2.0 * double(m) * double(n) * double(k),
                                                 benchmark::Counter::kIsIterationInvariantRate,
                                                 benchmark::Counter::kIs1000);
  state.SetLabel(platform::ml::kernels::gemmImplementation());
}

void BM_SquareSgemm(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  runGemm(state, size, size, size, Transpose::no);
}
BENCHMARK(BM_SquareSgemm)
    ->Arg(256)
    ->Arg(1024)
    ->Arg(2048)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Encoder projections: 1500 frames x d by d x d (base: d = 512).
void BM_EncoderProjection(benchmark::State& state) {
  const auto d = static_cast<size_t>(state.range(0));
  runGemm(state, 1500, d, d, Transpose::yes);
}
BENCHMARK(BM_EncoderProjection)->Arg(384)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

// A decoder step's vocabulary projection: one row against the embedding.
void BM_DecoderLogits(benchmark::State& state) {
  const auto d = static_cast<size_t>(state.range(0));
  runGemm(state, 1, 51865, d, Transpose::yes);
}
BENCHMARK(BM_DecoderLogits)->Arg(384)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

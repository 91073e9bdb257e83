#include <benchmark/benchmark.h>

#include <random>

#include "Kestrune/Core/Text/DynamicTimeWarping.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"

namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// Alignment weights of one window: a token row per decoder position and a
// column per 20 ms encoder frame, as the decoder hands them over.
MLMultiArray windowWeights(int64_t tokens, int64_t frames) {
  MLMultiArray weights({tokens, frames}, MLMultiArrayDataType::float16);
  std::mt19937 random(42);
  std::uniform_real_distribution<float> weight(0.0f, 1.0f);
  Float16* data = weights.data<Float16>();
  for (int64_t i = 0; i < weights.count(); ++i) data[i] = static_cast<Float16>(weight(random));
  return weights;
}

// The whole warping (tables and backtrace) of a window.
void BM_DynamicTimeWarping(benchmark::State& state) {
  const MLMultiArray weights = windowWeights(state.range(0), state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(kestrune::dynamicTimeWarping(weights));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
  state.SetLabel("cells");
}
// A full 30 s window with the whole token context, then typical windows.
BENCHMARK(BM_DynamicTimeWarping)->Args({224, 1500})->Args({64, 1500})->Args({16, 1500});

// The tables alone, to tell the fill from the walk back.
void BM_WarpingTrace(benchmark::State& state) {
  const MLMultiArray weights = windowWeights(224, 1500);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kestrune::warpingTrace(weights));
  }
}
BENCHMARK(BM_WarpingTrace);

// Weights handed over as a pixel buffer, whose rows may be padded.
void BM_DynamicTimeWarpingPixelBuffer(benchmark::State& state) {
  const MLMultiArray weights =
      orvane::makeMultiArray<Float16>({224, 1500}, MLMultiArrayDataType::float16, Float16(0.5f));
  for (auto _ : state) {
    benchmark::DoNotOptimize(kestrune::dynamicTimeWarping(weights));
  }
}
BENCHMARK(BM_DynamicTimeWarpingPixelBuffer);

}  // namespace

BENCHMARK_MAIN();

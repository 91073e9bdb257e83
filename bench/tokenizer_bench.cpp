// Loading cost of the real multilingual Whisper tokenizer (50,000 merges,
// 51,865 ids): reading tokenizer.json into a Config tree, and building the
// whole tokenizer from the two files. The target is under 150 ms.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"
#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"

namespace {

const std::filesystem::path folder =
    std::filesystem::path(KESTRUNE_SHARED_DIR) / "tokenizers" / "multilingual";

void ReadTokenizerJSON(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(orvane::readConfiguration(folder / "tokenizer.json"));
  }
}
BENCHMARK(ReadTokenizerJSON)->Unit(benchmark::kMillisecond);

void LoadTokenizer(benchmark::State& state) {
  for (auto _ : state) {
    const orvane::Config config = orvane::readConfiguration(folder / "tokenizer_config.json");
    const orvane::Config data = orvane::readConfiguration(folder / "tokenizer.json");
    benchmark::DoNotOptimize(orvane::AutoTokenizer::from(config, data, true));
  }
}
BENCHMARK(LoadTokenizer)->Unit(benchmark::kMillisecond);

void EncodeSentence(benchmark::State& state) {
  const auto tokenizer =
      orvane::AutoTokenizer::from(orvane::readConfiguration(folder / "tokenizer_config.json"),
                                  orvane::readConfiguration(folder / "tokenizer.json"), true);
  const std::string text =
      " And so, my fellow Americans, ask not what your country can do for you, ask what you can "
      "do for your country.";
  for (auto _ : state) benchmark::DoNotOptimize(tokenizer->encode(text));
}
BENCHMARK(EncodeSentence)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// Per-token cost of the decoding loop's own work (logits filters, sampling,
// cache update) next to the cost of a tiny-sized decoder prediction.
//
// The tiny decoder (width 384, 4 layers, the multilingual vocabulary) is a
// generated model with seeded weights: the folder named by
// KESTRUNE_BENCH_MODEL_DIR (holding TextDecoder.mlmodelc), or else one made
// in a temporary folder with the kestrune-make-test-model and
// kestrune-convert tools of this build tree (build them first). Without
// either, the model benchmarks are skipped and BM_TinyPredictionFloor stands
// in: the decoder's unavoidable output projection alone.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "Kestrune/Core/DecodingInputs.hpp"
#include "Kestrune/Core/Text/LogitsFilter.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"
#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/Gemm.hpp"

namespace {

using kestrune::SpecialTokens;
using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

constexpr int64_t vocabulary = 51865;
constexpr int64_t tinyWidth = 384;
constexpr int64_t tinyLayers = 4;

std::vector<float> randomValues(size_t count, float spread, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, spread);
  std::vector<float> values(count);
  for (auto& value : values) value = normal(generator);
  return values;
}

MLMultiArray halfLogits(const std::vector<float>& values) {
  auto logits =
      orvane::makeMultiArray({1, 1, vocabulary}, MLMultiArrayDataType::float16, Float16(0));
  platform::ml::convertFloat32ToFloat16(values.data(), logits.data<Float16>(), values.size());
  return logits;
}

// A mid-window sequence: prompt, a closed timestamp pair around text, more text.
std::vector<int64_t> midWindowTokens(const SpecialTokens& special) {
  std::vector<int64_t> tokens = {special.startOfTranscriptToken, special.englishToken,
                                 special.transcribeToken, special.timeTokenBegin};
  for (int64_t i = 0; i < 40; ++i) tokens.push_back(1000 + i * 37);
  tokens.push_back(special.timeTokenBegin + 120);
  tokens.push_back(special.timeTokenBegin + 120);
  for (int64_t i = 0; i < 30; ++i) tokens.push_back(2000 + i * 11);
  return tokens;
}

// The engine's filter chain for a window with suppress-blank, a suppress
// list of the usual size and timestamp rules.
std::vector<std::shared_ptr<kestrune::LogitsFiltering>> windowFilters(
    const SpecialTokens& special) {
  std::vector<int64_t> suppress;
  for (int64_t i = 0; i < 90; ++i) suppress.push_back(1 + i * 531);
  return {std::make_shared<kestrune::SuppressBlankFilter>(special, 4),
          std::make_shared<kestrune::SuppressTokensFilter>(suppress),
          std::make_shared<kestrune::TimestampRulesFilter>(special, 4, std::nullopt, true)};
}

void runFiltersAndSampling(benchmark::State& state, float temperature) {
  const SpecialTokens special;
  const auto source = halfLogits(randomValues(vocabulary, 3.0f, 7));
  const auto logits = source.copy();
  const auto filters = windowFilters(special);
  const auto tokens = midWindowTokens(special);
  const std::vector<float> logProbs(tokens.size(), -0.2f);
  kestrune::GreedyTokenSampler sampler(Float16(temperature), special.endToken,
                                       kestrune::DecodingOptions{.topK = 5});
  const size_t bytes = static_cast<size_t>(vocabulary) * sizeof(Float16);
  for (auto _ : state) {
    // Fresh logits each step, as a prediction would deliver (about 100 KB).
    std::memcpy(logits.dataPointer(), source.dataPointer(), bytes);
    for (const auto& filter : filters) filter->filterLogits(logits, tokens);
    benchmark::DoNotOptimize(sampler.update(tokens, logits, logProbs));
  }
}

void BM_FiltersAndGreedySampling(benchmark::State& state) {
  runFiltersAndSampling(state, 0.0f);
}
BENCHMARK(BM_FiltersAndGreedySampling)->Unit(benchmark::kMicrosecond);

void BM_FiltersAndTopKSampling(benchmark::State& state) {
  runFiltersAndSampling(state, 0.6f);
}
BENCHMARK(BM_FiltersAndTopKSampling)->Unit(benchmark::kMicrosecond);

// The cache write of one step for a tiny decoder: 4 layers x 384 channels,
// one position, keys and values.
void BM_KVCacheUpdateTiny(benchmark::State& state) {
  const int64_t channels = tinyWidth * tinyLayers;
  const auto keys =
      orvane::makeMultiArray({1, channels, 1, 224}, MLMultiArrayDataType::float16, Float16(0));
  const auto values =
      orvane::makeMultiArray({1, channels, 1, 224}, MLMultiArrayDataType::float16, Float16(0));
  const auto keySlice =
      orvane::makeMultiArray({1, channels, 1, 1}, MLMultiArrayDataType::float16, Float16(1));
  const auto valueSlice =
      orvane::makeMultiArray({1, channels, 1, 1}, MLMultiArrayDataType::float16, Float16(2));
  int64_t position = 0;
  for (auto _ : state) {
    kestrune::TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, position);
    position = (position + 1) % 223;
  }
}
BENCHMARK(BM_KVCacheUpdateTiny)->Unit(benchmark::kMicrosecond);

// A tokenizer that knows only the control tokens; enough for the loop.
class ControlTokensOnly final : public kestrune::WhisperTokenizer {
 public:
  std::vector<int64_t> encode(std::string_view) const override { return {}; }
  std::string decode(const std::vector<int64_t>& tokens) const override {
    return std::string(tokens.size(), 'x');
  }
  std::optional<int64_t> convertTokenToId(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> convertIdToToken(int64_t) const override { return std::nullopt; }
  const SpecialTokens& specialTokens() const override { return special_; }
  const std::unordered_set<int64_t>& allLanguageTokens() const override { return languages_; }
  kestrune::WordTokens splitToWordTokens(const std::vector<int64_t>&) const override { return {}; }

 private:
  SpecialTokens special_;
  std::unordered_set<int64_t> languages_{50259};
};

// A decoder whose prediction only copies prepared outputs, so that a window
// measures everything the loop itself does per token.
class CopyingDecoder final : public kestrune::TextDecoder {
 public:
  CopyingDecoder()
      : logits_(halfLogits(randomValues(vocabulary, 3.0f, 11))),
        keySlice_(orvane::makeMultiArray({1, tinyWidth * tinyLayers, 1, 1},
                                         MLMultiArrayDataType::float16, Float16(1))),
        valueSlice_(keySlice_.copy()) {}

  std::optional<int64_t> kvCacheEmbedDim() const override { return tinyWidth * tinyLayers; }
  std::optional<int64_t> kvCacheMaxSequenceLength() const override { return 224; }
  std::optional<int64_t> windowSize() const override { return 1500; }
  std::optional<int64_t> logitsSize() const override { return vocabulary; }

  kestrune::TextDecoderMLMultiArrayOutputType predictLogits(
      const kestrune::TextDecoderInputType&) override {
    kestrune::TextDecoderMLMultiArrayOutputType output;
    output.logits = logits_.copy();
    output.cache = kestrune::DecodingCache{keySlice_, valueSlice_, std::nullopt};
    return output;
  }

 private:
  MLMultiArray logits_;
  MLMultiArray keySlice_;
  MLMultiArray valueSlice_;
};

// A whole 223-step window without a model: filters, sampling, cache
// writes, masks and bookkeeping. Time per token = time / 223.
void BM_DecodeWindowWithoutModel(benchmark::State& state) {
  CopyingDecoder decoder;
  decoder.setTokenizer(std::make_shared<ControlTokensOnly>());
  decoder.setIsModelMultilingual(true);
  const auto inputs = decoder.prepareDecoderInputs({50258});
  const kestrune::DecodingOptions options{.suppressBlank = true,
                                          .firstTokenLogProbThreshold = std::nullopt};
  decoder.prefillDecoderInputs(inputs, options);
  const auto encoderOutput =
      orvane::makeMultiArray({1, tinyWidth, 1, 1500}, MLMultiArrayDataType::float16, Float16(0));
  int64_t tokens = 0;
  for (auto _ : state) {
    inputs->reset(224);
    kestrune::GreedyTokenSampler sampler(Float16(0), 50257, options);
    const auto result = decoder.decodeText(encoderOutput, *inputs, sampler, options, nullptr);
    tokens += static_cast<int64_t>(result.timings->totalDecodingLoops);
  }
  // Seconds per token, shown with an SI prefix.
  state.counters["per_token"] = benchmark::Counter(
      static_cast<double>(tokens), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecodeWindowWithoutModel)->Unit(benchmark::kMillisecond);

// The floor of a tiny decoder prediction: the logits projection and their
// conversion to half precision.
void BM_TinyPredictionFloor(benchmark::State& state) {
  const auto hidden = randomValues(tinyWidth, 1.0f, 3);
  const auto embedding = randomValues(static_cast<size_t>(tinyWidth * vocabulary), 0.05f, 5);
  std::vector<float> scores(vocabulary);
  auto logits =
      orvane::makeMultiArray({1, 1, vocabulary}, MLMultiArrayDataType::float16, Float16(0));
  using platform::ml::kernels::Transpose;
  for (auto _ : state) {
    platform::ml::kernels::sgemm(Transpose::no, Transpose::yes, 1, vocabulary, tinyWidth, 1.0f,
                                 hidden.data(), tinyWidth, embedding.data(), tinyWidth, 0.0f,
                                 scores.data(), vocabulary);
    platform::ml::convertFloat32ToFloat16(scores.data(), logits.data<Float16>(), scores.size());
    benchmark::ClobberMemory();
  }
  state.SetLabel(platform::ml::kernels::gemmImplementation());
}
BENCHMARK(BM_TinyPredictionFloor)->Unit(benchmark::kMicrosecond);

// The generated tiny model's folder, made once per run when needed; empty
// when it cannot be had.
const std::filesystem::path& tinyModelFolder() {
  static const std::filesystem::path folder = [] {
    namespace fs = std::filesystem;
    if (const char* given = std::getenv("KESTRUNE_BENCH_MODEL_DIR")) return fs::path(given);
    const fs::path tools = fs::path(KESTRUNE_BINARY_DIR) / "tools";
    const fs::path generator = tools / "kestrune-make-test-model" / "kestrune-make-test-model";
    const fs::path converter = tools / "kestrune-convert" / "kestrune-convert";
    if (!fs::exists(generator) || !fs::exists(converter)) return fs::path();
    const fs::path work = fs::temp_directory_path() / "kestrune-decoder-bench-tiny";
    if (fs::exists(work / "models" / "TextDecoder.mlmodelc")) return work / "models";
    const std::string make = "'" + generator.string() + "' '" + (work / "checkpoint").string() +
                             "' --preset tiny > /dev/null && '" + converter.string() + "' '" +
                             (work / "checkpoint").string() + "' '" + (work / "models").string() +
                             "' > /dev/null";
    if (std::system(make.c_str()) != 0) return fs::path();
    return work / "models";
  }();
  return folder;
}

// The loaded tiny decoder with the real multilingual tokenizer, or null.
std::shared_ptr<kestrune::TextDecoder> tinyDecoder() {
  const auto folder = tinyModelFolder();
  if (folder.empty()) return nullptr;
  auto decoder = std::make_shared<kestrune::TextDecoder>();
  decoder->loadModel(folder / "TextDecoder.mlmodelc", platform::ml::MLComputeUnits::cpuOnly);
  const std::filesystem::path tokenizer =
      std::filesystem::path(KESTRUNE_SHARED_DIR) / "tokenizers" / "multilingual";
  decoder->setTokenizer(std::make_shared<kestrune::WhisperTokenizerWrapper>(
      orvane::AutoTokenizerWrapper::from(tokenizer), tokenizer));
  decoder->setIsModelMultilingual(true);
  return decoder;
}

MLMultiArray tinyEncoderOutput(const kestrune::TextDecoder& decoder) {
  const auto values = randomValues(static_cast<size_t>(*decoder.embedSize() * 1500), 1.0f, 17);
  auto embeds = orvane::makeMultiArray({1, *decoder.embedSize(), 1, 1500},
                                       MLMultiArrayDataType::float16, Float16(0));
  embeds.withUnsafeMutableBufferPointer<Float16>([&](std::span<Float16> buffer, const auto&) {
    for (size_t i = 0; i < values.size(); ++i) {
      buffer[embeds.offsetOfLinearIndex(static_cast<int64_t>(i))] = Float16(values[i]);
    }
  });
  return embeds;
}

// One prediction of the tiny decoder through the runtime.
void BM_TinyDecoderPrediction(benchmark::State& state) {
  const auto decoder = tinyDecoder();
  if (!decoder) {
    state.SkipWithError("no tiny decoder model (see the top of this file)");
    return;
  }
  const auto inputs = decoder->prepareDecoderInputs({50258});
  const auto embeds = tinyEncoderOutput(*decoder);
  const kestrune::TextDecoderMLMultiArrayInputType arrays(
      inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
      inputs->kvCacheUpdateMask(), embeds, inputs->decoderKeyPaddingMask());
  for (auto _ : state) benchmark::DoNotOptimize(decoder->predictLogits(arrays));
}
BENCHMARK(BM_TinyDecoderPrediction)->Unit(benchmark::kMillisecond);

// Whole windows on the tiny decoder, with the loop's own timings: the
// counters give the share of filtering plus sampling, and of the cache
// update, in the prediction time.
void BM_TinyDecoderWindow(benchmark::State& state) {
  const auto decoder = tinyDecoder();
  if (!decoder) {
    state.SkipWithError("no tiny decoder model (see the top of this file)");
    return;
  }
  const auto inputs = decoder->prepareDecoderInputs({50258});
  const auto embeds = tinyEncoderOutput(*decoder);
  const kestrune::DecodingOptions options{.suppressBlank = true,
                                          .firstTokenLogProbThreshold = std::nullopt};
  double predictions = 0, filteringAndSampling = 0, caching = 0, tokens = 0;
  for (auto _ : state) {
    inputs->reset(224);
    decoder->prefillDecoderInputs(inputs, options);
    kestrune::GreedyTokenSampler sampler(Float16(0), 50257, options);
    const auto result = decoder->decodeText(embeds, *inputs, sampler, options, nullptr);
    predictions += result.timings->decodingPredictions;
    filteringAndSampling += result.timings->decodingFiltering + result.timings->decodingSampling;
    caching += result.timings->decodingKvCaching;
    tokens += result.timings->totalDecodingLoops;
  }
  state.counters["tokens"] = benchmark::Counter(tokens, benchmark::Counter::kAvgIterations);
  state.counters["predict_ms_per_token"] = predictions / tokens * 1e3;
  state.counters["filter_sample_ms_per_token"] = filteringAndSampling / tokens * 1e3;
  state.counters["filter_sample_share"] = filteringAndSampling / predictions;
  state.counters["kv_cache_share"] = caching / predictions;
}
BENCHMARK(BM_TinyDecoderWindow)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();

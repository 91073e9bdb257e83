// Time of the three Whisper models on the runtime for one 30 s window. Point
// KESTRUNE_BENCH_MODEL_DIR at a converted model folder, for example:
//   kestrune-make-test-model /tmp/tiny-ckpt --preset tiny --tokenizer
//   ../shared/tokenizers/multilingual kestrune-convert /tmp/tiny-ckpt /tmp/tiny
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Platform/ML/MLModel.hpp"

namespace {

using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureValue;
using platform::ml::MLModel;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

std::shared_ptr<MLModel> loadModel(benchmark::State& state, const char* name) {
  const char* folder = std::getenv("KESTRUNE_BENCH_MODEL_DIR");
  if (folder == nullptr) {
    state.SkipWithError("KESTRUNE_BENCH_MODEL_DIR is not set");
    return nullptr;
  }
  return MLModel::load(std::filesystem::path(folder) / (std::string(name) + ".mlmodelc"));
}

MLMultiArray predict(const MLModel& model, const char* input, const MLMultiArray& array,
                     const char* output) {
  return *model.prediction(MLDictionaryFeatureProvider({{input, MLFeatureValue(array)}}))
              ->featureValue(output)
              ->multiArrayValue();
}

MLMultiArray sineWindow(int64_t samples) {
  MLMultiArray audio({samples}, MLMultiArrayDataType::float32);
  float* data = audio.data<float>();
  for (int64_t i = 0; i < samples; ++i) data[i] = 0.3f * std::sin(0.06f * float(i));
  return audio;
}

void BM_MelSpectrogram(benchmark::State& state) {
  const auto mel = loadModel(state, "MelSpectrogram");
  if (!mel) return;
  const MLMultiArray audio = sineWindow(
      mel->modelDescription().inputDescriptionsByName.at("audio").multiArrayConstraint->shape[0]);
  for (auto _ : state)
    benchmark::DoNotOptimize(predict(*mel, "audio", audio, "melspectrogram_features"));
}
BENCHMARK(BM_MelSpectrogram)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AudioEncoder(benchmark::State& state) {
  const auto mel = loadModel(state, "MelSpectrogram");
  const auto encoder = loadModel(state, "AudioEncoder");
  if (!mel || !encoder) return;
  const MLMultiArray audio = sineWindow(
      mel->modelDescription().inputDescriptionsByName.at("audio").multiArrayConstraint->shape[0]);
  const MLMultiArray features = predict(*mel, "audio", audio, "melspectrogram_features");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        predict(*encoder, "melspectrogram_features", features, "encoder_output_embeds"));
  }
}
BENCHMARK(BM_AudioEncoder)->Unit(benchmark::kMillisecond)->UseRealTime();

// One decoding step at position 8 of the cache, with the cross-attention
// projections of the window already made (as for every step but the first).
void BM_DecoderStep(benchmark::State& state) {
  const auto decoder = loadModel(state, "TextDecoder");
  if (!decoder) return;
  const auto& inputs = decoder->modelDescription().inputDescriptionsByName;
  std::map<std::string, MLFeatureValue, std::less<>> features;
  for (const auto& [name, description] : inputs) {
    features.emplace(name,
                     MLFeatureValue(MLMultiArray(description.multiArrayConstraint->shape,
                                                 description.multiArrayConstraint->dataType)));
  }
  auto cacheLength = *features.at("cache_length").multiArrayValue();
  cacheLength.setNumber(0, 8);
  auto ids = *features.at("input_ids").multiArrayValue();
  ids.setNumber(0, 50258);
  auto mask = *features.at("kv_cache_update_mask").multiArrayValue();
  mask.setNumber(8, 1);
  auto padding = *features.at("decoder_key_padding_mask").multiArrayValue();
  for (int64_t j = 9; j < padding.count(); ++j) padding.setNumber(j, -10000);
  const MLDictionaryFeatureProvider provider(features);
  decoder->prediction(provider);
  for (auto _ : state) benchmark::DoNotOptimize(decoder->prediction(provider));
}
BENCHMARK(BM_DecoderStep)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

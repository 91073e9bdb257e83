#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/SafeTensors.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"
#include "tests/tools/kestrune-convert/WhisperReference.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune::tools {
namespace {

using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureValue;
using platform::ml::MLModel;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using testing::Matrix;
using testing::WhisperReference;

constexpr size_t width = 32, heads = 4, layers = 2, mels = 80, vocabulary = 300, frames = 50;
constexpr size_t samples = frames * 320, cacheLength = 16;

// One generated checkpoint and its converted models, shared by the tests.
class WhisperModelsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<platform::ml::testing::TemporaryFolder>();
    TestModelDimensions dims;
    dims.width = width, dims.heads = heads, dims.encoderLayers = layers;
    dims.decoderLayers = layers, dims.melBins = mels, dims.vocabulary = vocabulary;
    dims.sourcePositions = frames, dims.targetPositions = 64, dims.seed = 42;
    writeTestCheckpoint(folder_->path() / "checkpoint", dims);
    ConvertOptions options;
    options.dtype = platform::ml::TensorDType::f32;
    options.cacheLength = cacheLength;
    convertCheckpoint(folder_->path() / "checkpoint", folder_->path() / "models", options);
    checkpoint_ =
        platform::ml::SafeTensors::open(folder_->path() / "checkpoint" / "model.safetensors");
    mel_ = MLModel::load(folder_->path() / "models" / "MelSpectrogram.mlmodelc");
    encoder_ = MLModel::load(folder_->path() / "models" / "AudioEncoder.mlmodelc");
    decoder_ = MLModel::load(folder_->path() / "models" / "TextDecoder.mlmodelc");
  }
  static void TearDownTestSuite() {
    mel_.reset(), encoder_.reset(), decoder_.reset(), checkpoint_.reset();
    folder_.reset();
  }

  static MLMultiArray run(const MLModel& model, const char* input, const MLMultiArray& array,
                          const char* output) {
    const auto outputs =
        model.prediction(MLDictionaryFeatureProvider({{input, MLFeatureValue(array)}}));
    return *outputs->featureValue(output)->multiArrayValue();
  }

  static MLMultiArray melOf(const std::vector<float>& audio) {
    MLMultiArray array({static_cast<int64_t>(samples)}, MLMultiArrayDataType::float32);
    std::copy(audio.begin(), audio.end(), array.data<float>());
    return run(*mel_, "audio", array, "melspectrogram_features");
  }

  static std::vector<float> sine(float frequency, float amplitude) {
    std::vector<float> audio(samples);
    for (size_t i = 0; i < samples; ++i) {
      audio[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * double(i) / 16000));
    }
    return audio;
  }

  static inline std::unique_ptr<platform::ml::testing::TemporaryFolder> folder_;
  static inline std::shared_ptr<const platform::ml::SafeTensors> checkpoint_;
  static inline std::shared_ptr<MLModel> mel_, encoder_, decoder_;
};

// Whisper's log-mel of the audio, with a direct DFT per frame.
Matrix referenceMel(const std::vector<float>& audio, const std::vector<float>& filters) {
  const size_t frameCount = audio.size() / 160;
  Matrix mel(mels, std::vector<float>(frameCount));
  double largest = -INFINITY;
  for (size_t f = 0; f < frameCount; ++f) {
    std::vector<double> frame(400);
    for (size_t n = 0; n < 400; ++n) {
      long index = long(f * 160 + n) - 200;
      if (index < 0) index = -index;
      if (index >= long(audio.size())) index = 2 * (long(audio.size()) - 1) - index;
      frame[n] = audio[index] * (0.5 - 0.5 * std::cos(2 * M_PI * double(n) / 400));
    }
    std::vector<double> power(201);
    for (size_t b = 0; b < 201; ++b) {
      double re = 0, im = 0;
      for (size_t n = 0; n < 400; ++n) {
        re += frame[n] * std::cos(2 * M_PI * double(b * n) / 400);
        im -= frame[n] * std::sin(2 * M_PI * double(b * n) / 400);
      }
      power[b] = re * re + im * im;
    }
    for (size_t m = 0; m < mels; ++m) {
      double sum = 0;
      for (size_t b = 0; b < 201; ++b) sum += filters[m * 201 + b] * power[b];
      mel[m][f] = float(std::log10(std::max(sum, 1e-10)));
      largest = std::max(largest, double(mel[m][f]));
    }
  }
  for (auto& row : mel)
    for (auto& v : row) v = (std::max(v, float(largest - 8)) + 4) / 4;
  return mel;
}

TEST_F(WhisperModelsTest, MelSpectrogramMatchesADirectDft) {
  const auto filters =
      platform::ml::SafeTensors::open(folder_->path() / "models" / "MelSpectrogram.mlmodelc" /
                                      "weights.safetensors")
          ->floats("mel_filters");
  struct Case {
    const char* name;
    std::vector<float> audio;
  };
  const std::vector<Case> cases{{"sine 440 Hz", sine(440, 0.5f)},
                                {"sine 3 kHz", sine(3000, 0.1f)},
                                {"silence", std::vector<float>(samples, 0.0f)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MLMultiArray features = melOf(c.audio);
    ASSERT_EQ(features.shape(),
              (std::vector<int64_t>{1, int64_t(mels), 1, int64_t(samples / 160)}));
    const Matrix expected = referenceMel(c.audio, filters);
    for (size_t m = 0; m < mels; ++m) {
      for (size_t f = 0; f < samples / 160; ++f) {
        ASSERT_NEAR(features.number(int64_t(m * samples / 160 + f)), expected[m][f], 3e-3)
            << "mel " << m << " frame " << f;
      }
    }
  }
  // Silence is log10(1e-10) everywhere: (-10 + 4) / 4.
  EXPECT_EQ(melOf(std::vector<float>(samples, 0.0f)).number(0), -1.5);
}

TEST_F(WhisperModelsTest, MelFiltersPeakAtRisingFrequencies) {
  const auto filters =
      platform::ml::SafeTensors::open(folder_->path() / "models" / "MelSpectrogram.mlmodelc" /
                                      "weights.safetensors")
          ->floats("mel_filters");
  size_t previousPeak = 0;
  for (size_t m = 0; m < mels; ++m) {
    const auto row = filters.begin() + long(m * 201);
    const size_t peak = size_t(std::max_element(row, row + 201) - row);
    EXPECT_GE(peak, previousPeak) << m;
    EXPECT_GT(row[long(peak)], 0.0f);
    previousPeak = peak;
  }
}

Matrix asRows(const MLMultiArray& channelsFirst) {
  const size_t d = size_t(channelsFirst.shape()[1]), t = size_t(channelsFirst.shape()[3]);
  Matrix rows(t, std::vector<float>(d));
  for (size_t c = 0; c < d; ++c)
    for (size_t i = 0; i < t; ++i) rows[i][c] = float(channelsFirst.number(int64_t(c * t + i)));
  return rows;
}

TEST_F(WhisperModelsTest, EncoderMatchesThePlainLoopForwardPass) {
  const MLMultiArray features = melOf(sine(440, 0.5f));
  const MLMultiArray encoded =
      run(*encoder_, "melspectrogram_features", features, "encoder_output_embeds");
  ASSERT_EQ(encoded.shape(), (std::vector<int64_t>{1, int64_t(width), 1, int64_t(frames)}));
  Matrix mel(mels, std::vector<float>(2 * frames));
  for (size_t m = 0; m < mels; ++m)
    for (size_t f = 0; f < 2 * frames; ++f)
      mel[m][f] = float(features.number(int64_t(m * 2 * frames + f)));
  const Matrix expected = WhisperReference(*checkpoint_, width, heads).encode(mel, layers);
  const Matrix actual = asRows(encoded);
  for (size_t t = 0; t < frames; ++t)
    for (size_t c = 0; c < width; ++c)
      ASSERT_NEAR(actual[t][c], expected[t][c], 1e-2) << t << "," << c;
}

// Drives the decoder through its cache as the engine does, one token a step.
class CachedDecoder {
 public:
  explicit CachedDecoder(const MLMultiArray& encoderOutput) : encoderOutput_(encoderOutput) {}

  struct Step {
    std::vector<float> logits;
    std::vector<float> alignment;
  };

  Step step(int token, int position, const MLModel& model) {
    MLMultiArray ids({1}, MLMultiArrayDataType::int32), length({1}, MLMultiArrayDataType::int32);
    ids.setNumber(0, token);
    length.setNumber(0, position);
    MLMultiArray update({1, int64_t(cacheLength)}, MLMultiArrayDataType::int32);
    MLMultiArray padding({1, int64_t(cacheLength)}, MLMultiArrayDataType::float16);
    for (int j = 0; j < int(cacheLength); ++j) {
      update.setNumber(j, j == position ? 1 : 0);
      padding.setNumber(j, j <= position ? 0 : -10000);
    }
    const auto outputs = model.prediction(
        MLDictionaryFeatureProvider({{"input_ids", MLFeatureValue(ids)},
                                     {"cache_length", MLFeatureValue(length)},
                                     {"key_cache", MLFeatureValue(keys_)},
                                     {"value_cache", MLFeatureValue(values_)},
                                     {"kv_cache_update_mask", MLFeatureValue(update)},
                                     {"encoder_output_embeds", MLFeatureValue(encoderOutput_)},
                                     {"decoder_key_padding_mask", MLFeatureValue(padding)}}));
    const auto keySlice = *outputs->featureValue("key_cache_updates")->multiArrayValue();
    const auto valueSlice = *outputs->featureValue("value_cache_updates")->multiArrayValue();
    for (int64_t e = 0; e < int64_t(layers * width); ++e) {
      keys_.data<Float16>()[e * int64_t(cacheLength) + position] = keySlice.data<Float16>()[e];
      values_.data<Float16>()[e * int64_t(cacheLength) + position] = valueSlice.data<Float16>()[e];
    }
    return {outputs->featureValue("logits")->multiArrayValue()->toFloatVector(),
            outputs->featureValue("alignment_heads_weights")->multiArrayValue()->toFloatVector()};
  }

 private:
  MLMultiArray encoderOutput_;
  MLMultiArray keys_{{1, int64_t(layers* width), 1, int64_t(cacheLength)},
                     MLMultiArrayDataType::float16};
  MLMultiArray values_{{1, int64_t(layers* width), 1, int64_t(cacheLength)},
                       MLMultiArrayDataType::float16};
};

TEST_F(WhisperModelsTest, CachedDecodingMatchesTheReferenceAtEveryStep) {
  const MLMultiArray encoded =
      run(*encoder_, "melspectrogram_features", melOf(sine(440, 0.5f)), "encoder_output_embeds");
  const Matrix encoderRows = asRows(encoded);
  const std::vector<std::pair<size_t, size_t>> alignmentHeads{{1, 0}, {1, 2}};  // generated choice
  const WhisperReference reference(*checkpoint_, width, heads);
  const std::vector<int> tokens{7, 250, 3, 3, 99, 0, 299, 12};
  CachedDecoder decoder(encoded);
  for (size_t t = 0; t < tokens.size(); ++t) {
    SCOPED_TRACE("step " + std::to_string(t));
    const auto actual = decoder.step(tokens[t], int(t), *decoder_);
    const auto expected = reference.decode({tokens.begin(), tokens.begin() + long(t) + 1},
                                           encoderRows, layers, alignmentHeads);
    ASSERT_EQ(actual.logits.size(), vocabulary);
    for (size_t v = 0; v < vocabulary; ++v) {
      ASSERT_NEAR(actual.logits[v], expected.logits[v], 2e-2 + 5e-3 * std::fabs(expected.logits[v]))
          << v;
    }
    for (size_t f = 0; f < frames; ++f)
      ASSERT_NEAR(actual.alignment[f], expected.alignment[f], 2e-3) << f;
  }
}

TEST_F(WhisperModelsTest, ConcurrentWindowsKeepTheirOwnCrossAttention) {
  const std::vector<MLMultiArray> encoded{
      run(*encoder_, "melspectrogram_features", melOf(sine(440, 0.5f)), "encoder_output_embeds"),
      run(*encoder_, "melspectrogram_features", melOf(sine(2000, 0.3f)), "encoder_output_embeds")};
  const std::vector<int> tokens{5, 6, 7, 8, 9, 10};
  std::vector<std::vector<std::vector<float>>> alone(2), together(2);
  for (size_t w = 0; w < 2; ++w) {
    CachedDecoder decoder(encoded[w]);
    for (size_t t = 0; t < tokens.size(); ++t)
      alone[w].push_back(decoder.step(tokens[t], int(t), *decoder_).logits);
  }
  std::vector<std::thread> threads;
  for (size_t w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      CachedDecoder decoder(encoded[w]);
      for (size_t t = 0; t < tokens.size(); ++t)
        together[w].push_back(decoder.step(tokens[t], int(t), *decoder_).logits);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(together, alone);
  EXPECT_NE(alone[0].back(), alone[1].back());
}

TEST_F(WhisperModelsTest, DecoderRefusesTokensAndPositionsOutOfRange) {
  const MLMultiArray encoded =
      run(*encoder_, "melspectrogram_features", melOf(sine(440, 0.5f)), "encoder_output_embeds");
  CachedDecoder decoder(encoded);
  EXPECT_THROW(decoder.step(int(vocabulary), 0, *decoder_), platform::ml::PlatformMLError);
  EXPECT_THROW(decoder.step(1, int(cacheLength), *decoder_), platform::ml::PlatformMLError);
  EXPECT_THROW(decoder.step(-1, 0, *decoder_), platform::ml::PlatformMLError);
}

}  // namespace
}  // namespace kestrune::tools

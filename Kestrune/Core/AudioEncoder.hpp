#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Kestrune/Core/FeatureExtractor.hpp"
#include "Kestrune/Core/WhisperMLModel.hpp"
#include "OrvaneCore/ConcurrencyUtilities.hpp"
#include "Platform/ML/MLFeatureProvider.hpp"

namespace kestrune {

using AudioEncoderOutputType = std::any;

// The encoder model's input: the one feature "melspectrogram_features".
class AudioEncoderInput : public platform::ml::MLFeatureProvider {
 public:
  explicit AudioEncoderInput(MLMultiArray melspectrogram_features)
      : melspectrogram_features(std::move(melspectrogram_features)) {}
  std::set<std::string> featureNames() const override { return {"melspectrogram_features"}; }
  std::optional<platform::ml::MLFeatureValue> featureValue(std::string_view name) const override;

  MLMultiArray melspectrogram_features;
};

// The encoder model's output, over the provider a prediction gave.
class AudioEncoderOutput : public platform::ml::MLFeatureProvider {
 public:
  explicit AudioEncoderOutput(std::shared_ptr<const platform::ml::MLFeatureProvider> provider)
      : provider(std::move(provider)) {}
  // A dictionary provider holding "encoder_output_embeds".
  explicit AudioEncoderOutput(MLMultiArray encoderOutputEmbeds);

  std::set<std::string> featureNames() const override { return provider->featureNames(); }
  std::optional<platform::ml::MLFeatureValue> featureValue(std::string_view name) const override {
    return provider->featureValue(name);
  }
  // Throws WhisperError.audioProcessingFailed when the output is missing.
  MLMultiArray encoder_output_embeds() const;
  // Its elements in row-major order.
  std::vector<platform::ml::Float16> encoder_output_embedsShapedArray() const;

  std::shared_ptr<const platform::ml::MLFeatureProvider> provider;
};

// What the engine needs of an audio encoder.
class AudioEncoding {
 public:
  virtual ~AudioEncoding() = default;
  virtual std::optional<int64_t> embedSize() const = 0;
  // Throws WhisperError.audioProcessingFailed "AudioEncoder input must be
  // MLMultiArray" for any other input, modelsUnavailable without a model,
  // the cancellation error when the task is cancelled; prediction errors
  // pass up unchanged.
  virtual std::optional<MLMultiArray> encodeFeatures(
      const FeatureExtractorOutputType& features) = 0;
};

// Runs the encoder model on one window's mel spectrogram.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
 public:
  std::shared_ptr<const platform::ml::MLModel> model() const override { return model_.get(); }
  void setModel(std::shared_ptr<const platform::ml::MLModel> model) override {
    model_.set(std::move(model));
  }

  // Output "encoder_output_embeds", dimension 1; none without a model.
  std::optional<int64_t> embedSize() const override;
  // Output "encoder_output_embeds", dimension 3; none without a model.
  std::optional<int64_t> sequenceLength() const;
  std::optional<MLMultiArray> encodeFeatures(const FeatureExtractorOutputType& features) override;
  std::optional<MLMultiArray> encodeFeatures(const MLMultiArray& features) {
    return encodeFeatures(FeatureExtractorOutputType(features));
  }

 private:
  orvane::Protected<std::shared_ptr<const platform::ml::MLModel>> model_;
};

}  // namespace kestrune

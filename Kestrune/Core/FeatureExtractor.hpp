#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Kestrune/Core/WhisperMLModel.hpp"
#include "OrvaneCore/ConcurrencyUtilities.hpp"
#include "Platform/ML/MLFeatureProvider.hpp"

namespace kestrune {

using platform::ml::MLMultiArray;

// The values handed between the audio stages. In this system each is a
// multi-array; they are carried as std::any so that a replacement stage
// handing over something else is refused with a clear error.
using AudioProcessorOutputType = std::any;
using FeatureExtractorOutputType = std::any;

// The mel-spectrogram model's input: the one feature "audio".
class MelSpectrogramInput : public platform::ml::MLFeatureProvider {
 public:
  explicit MelSpectrogramInput(MLMultiArray audio) : audio(std::move(audio)) {}
  std::set<std::string> featureNames() const override { return {"audio"}; }
  std::optional<platform::ml::MLFeatureValue> featureValue(std::string_view name) const override;

  MLMultiArray audio;
};

// The mel-spectrogram model's output, over the provider a prediction gave.
class MelSpectrogramOutput : public platform::ml::MLFeatureProvider {
 public:
  explicit MelSpectrogramOutput(std::shared_ptr<const platform::ml::MLFeatureProvider> provider)
      : provider(std::move(provider)) {}
  // A dictionary provider holding "melspectrogram_features".
  explicit MelSpectrogramOutput(MLMultiArray melspectrogramFeatures);

  std::set<std::string> featureNames() const override { return provider->featureNames(); }
  std::optional<platform::ml::MLFeatureValue> featureValue(std::string_view name) const override {
    return provider->featureValue(name);
  }
  // Throws WhisperError.audioProcessingFailed when the output is missing.
  MLMultiArray melspectrogramFeatures() const;
  // Its elements in row-major order.
  std::vector<platform::ml::Float16> melspectrogram_featuresShapedArray() const;

  std::shared_ptr<const platform::ml::MLFeatureProvider> provider;
};

// What the engine needs of a feature extractor.
class FeatureExtracting {
 public:
  virtual ~FeatureExtracting() = default;
  virtual std::optional<int64_t> melCount() const = 0;
  virtual std::optional<int64_t> windowSamples() const = 0;
  // Throws WhisperError.audioProcessingFailed "FeatureExtractor input must be
  // MLMultiArray" for any other input, modelsUnavailable without a model,
  // the cancellation error when the task is cancelled; prediction errors
  // pass up unchanged.
  virtual std::optional<MLMultiArray> logMelSpectrogram(
      const AudioProcessorOutputType& fromAudio) = 0;
};

// Runs the mel-spectrogram model on one padded audio window.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
 public:
  std::shared_ptr<const platform::ml::MLModel> model() const override { return model_.get(); }
  void setModel(std::shared_ptr<const platform::ml::MLModel> model) override {
    model_.set(std::move(model));
  }

  // Output "melspectrogram_features", dimension 1; none without a model.
  std::optional<int64_t> melCount() const override;
  // Input "audio", dimension 0; none without a model.
  std::optional<int64_t> windowSamples() const override;
  std::optional<MLMultiArray> logMelSpectrogram(const AudioProcessorOutputType& fromAudio) override;

 private:
  orvane::Protected<std::shared_ptr<const platform::ml::MLModel>> model_;
};

}  // namespace kestrune

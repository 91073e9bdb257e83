#include "Kestrune/Core/AudioEncoder.hpp"

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/MLModelExtensions.hpp"
#include "OrvaneCore/Signpost.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace kestrune {

namespace {

const orvane::Signposter& signposter() {
  static const orvane::Signposter instance("com.orvane.kestrune", "AudioEncoding");
  return instance;
}

}  // namespace

std::optional<platform::ml::MLFeatureValue> AudioEncoderInput::featureValue(
    std::string_view name) const {
  if (name != "melspectrogram_features") return std::nullopt;
  return platform::ml::MLFeatureValue(melspectrogram_features);
}

AudioEncoderOutput::AudioEncoderOutput(MLMultiArray encoderOutputEmbeds)
    : provider(std::make_shared<platform::ml::MLDictionaryFeatureProvider>(
          std::map<std::string, platform::ml::MLFeatureValue, std::less<>>{
              {"encoder_output_embeds",
               platform::ml::MLFeatureValue(std::move(encoderOutputEmbeds))}})) {}

MLMultiArray AudioEncoderOutput::encoder_output_embeds() const {
  const auto value = provider->featureValue("encoder_output_embeds");
  if (!value || !value->multiArrayValue()) {
    throw WhisperError::audioProcessingFailed(
        "The audio encoder model gave no encoder_output_embeds");
  }
  return *value->multiArrayValue();
}

std::vector<platform::ml::Float16> AudioEncoderOutput::encoder_output_embedsShapedArray() const {
  const MLMultiArray embeds = encoder_output_embeds();
  std::vector<platform::ml::Float16> scalars;
  scalars.reserve(static_cast<size_t>(embeds.count()));
  for (int64_t i = 0; i < embeds.count(); ++i) {
    scalars.push_back(static_cast<platform::ml::Float16>(embeds.number(i)));
  }
  return scalars;
}

std::optional<int64_t> AudioEncoder::embedSize() const {
  return orvane::ModelUtilities::getModelOutputDimension(model().get(), "encoder_output_embeds", 1);
}

std::optional<int64_t> AudioEncoder::sequenceLength() const {
  return orvane::ModelUtilities::getModelOutputDimension(model().get(), "encoder_output_embeds", 3);
}

std::optional<MLMultiArray> AudioEncoder::encodeFeatures(
    const FeatureExtractorOutputType& features) {
  const auto* array = std::any_cast<MLMultiArray>(&features);
  if (array == nullptr) {
    throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
  }
  // Read once under the cell's lock; an unload meanwhile leaves this
  // prediction its model.
  const auto loaded = model();
  if (!loaded) throw WhisperError::modelsUnavailable();
  orvane::Task::checkCancellation();
  const auto interval = orvane::beginSignpost("EncodeAudio", signposter());
  // On this thread, for the reason the feature extractor gives.
  try {
    const AudioEncoderOutput output(loaded->prediction(AudioEncoderInput(*array)));
    MLMultiArray embeds = output.encoder_output_embeds();
    orvane::endSignpost("EncodeAudio", interval, signposter());
    return embeds;
  } catch (...) {
    orvane::endSignpost("EncodeAudio", interval, signposter());
    throw;
  }
}

}  // namespace kestrune

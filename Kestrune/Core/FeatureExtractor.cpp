#include "Kestrune/Core/FeatureExtractor.hpp"

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/MLModelExtensions.hpp"
#include "OrvaneCore/Signpost.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace kestrune {

namespace {

const orvane::Signposter& signposter() {
  static const orvane::Signposter instance("com.orvane.kestrune", "FeatureExtractor");
  return instance;
}

}  // namespace

std::optional<platform::ml::MLFeatureValue> MelSpectrogramInput::featureValue(
    std::string_view name) const {
  if (name != "audio") return std::nullopt;
  return platform::ml::MLFeatureValue(audio);
}

MelSpectrogramOutput::MelSpectrogramOutput(MLMultiArray melspectrogramFeatures)
    : provider(std::make_shared<platform::ml::MLDictionaryFeatureProvider>(
          std::map<std::string, platform::ml::MLFeatureValue, std::less<>>{
              {"melspectrogram_features",
               platform::ml::MLFeatureValue(std::move(melspectrogramFeatures))}})) {}

MLMultiArray MelSpectrogramOutput::melspectrogramFeatures() const {
  const auto value = provider->featureValue("melspectrogram_features");
  if (!value || !value->multiArrayValue()) {
    throw WhisperError::audioProcessingFailed(
        "The mel spectrogram model gave no melspectrogram_features");
  }
  return *value->multiArrayValue();
}

std::vector<platform::ml::Float16> MelSpectrogramOutput::melspectrogram_featuresShapedArray()
    const {
  const MLMultiArray features = melspectrogramFeatures();
  std::vector<platform::ml::Float16> scalars;
  scalars.reserve(static_cast<size_t>(features.count()));
  for (int64_t i = 0; i < features.count(); ++i) {
    scalars.push_back(static_cast<platform::ml::Float16>(features.number(i)));
  }
  return scalars;
}

std::optional<int64_t> FeatureExtractor::melCount() const {
  return orvane::ModelUtilities::getModelOutputDimension(model().get(), "melspectrogram_features",
                                                         1);
}

std::optional<int64_t> FeatureExtractor::windowSamples() const {
  return orvane::ModelUtilities::getModelInputDimension(model().get(), "audio", 0);
}

std::optional<MLMultiArray> FeatureExtractor::logMelSpectrogram(
    const AudioProcessorOutputType& fromAudio) {
  const auto* audio = std::any_cast<MLMultiArray>(&fromAudio);
  if (audio == nullptr) {
    throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
  }
  // Read once under the cell's lock; an unload meanwhile leaves this
  // prediction its model.
  const auto loaded = model();
  if (!loaded) throw WhisperError::modelsUnavailable();
  orvane::Task::checkCancellation();
  const auto interval = orvane::beginSignpost("ExtractAudioFeatures", signposter());
  // The prediction runs on this thread: waiting here for a pool task could
  // starve the pool when this caller is itself one of its workers.
  try {
    const MelSpectrogramOutput output(loaded->prediction(MelSpectrogramInput(*audio)));
    MLMultiArray features = output.melspectrogramFeatures();
    orvane::endSignpost("ExtractAudioFeatures", interval, signposter());
    return features;
  } catch (...) {
    orvane::endSignpost("ExtractAudioFeatures", interval, signposter());
    throw;
  }
}

}  // namespace kestrune

#include "Kestrune/Core/EngineModels.hpp"

#include "Kestrune/Core/AudioEncoder.hpp"
#include "Kestrune/Core/FeatureExtractor.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Utilities/TokenizerLoading.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace kestrune {

namespace {

template <typename Component>
WhisperMLModel* holderOf(const std::shared_ptr<Component>& component) {
  return dynamic_cast<WhisperMLModel*>(component.get());
}

}  // namespace

std::shared_ptr<FeatureExtracting> makeFeatureExtractor() {
  return std::make_shared<FeatureExtractor>();
}
std::shared_ptr<AudioEncoding> makeAudioEncoder() {
  return std::make_shared<AudioEncoder>();
}

bool isModelHolder(const std::shared_ptr<FeatureExtracting>& component) {
  return holderOf(component) != nullptr;
}
bool isModelHolder(const std::shared_ptr<AudioEncoding>& component) {
  return holderOf(component) != nullptr;
}
bool isModelHolder(const std::shared_ptr<TextDecoding>& component) {
  return holderOf(component) != nullptr || dynamic_cast<TextDecoder*>(component.get()) != nullptr;
}

void loadHolder(const std::shared_ptr<FeatureExtracting>& component,
                const std::filesystem::path& path, platform::ml::MLComputeUnits units,
                bool prewarmMode) {
  if (auto* holder = holderOf(component)) holder->loadModel(path, units, prewarmMode);
}
void loadHolder(const std::shared_ptr<AudioEncoding>& component, const std::filesystem::path& path,
                platform::ml::MLComputeUnits units, bool prewarmMode) {
  if (auto* holder = holderOf(component)) holder->loadModel(path, units, prewarmMode);
}
void loadHolder(const std::shared_ptr<TextDecoding>& component, const std::filesystem::path& path,
                platform::ml::MLComputeUnits units, bool prewarmMode) {
  if (auto* holder = holderOf(component)) {
    holder->loadModel(path, units, prewarmMode);
  } else if (auto* decoder = dynamic_cast<TextDecoder*>(component.get())) {
    decoder->loadModel(path, units, prewarmMode);
  }
}

void unloadHolder(const std::shared_ptr<FeatureExtracting>& component) {
  if (auto* holder = holderOf(component)) holder->unloadModel();
}
void unloadHolder(const std::shared_ptr<AudioEncoding>& component) {
  if (auto* holder = holderOf(component)) holder->unloadModel();
}
void unloadHolder(const std::shared_ptr<TextDecoding>& component) {
  if (auto* holder = holderOf(component)) {
    holder->unloadModel();
  } else if (auto* decoder = dynamic_cast<TextDecoder*>(component.get())) {
    decoder->unloadModel();
  }
}

std::optional<int64_t> featureExtractorWindowSamples(const FeatureExtracting& extractor) {
  return extractor.windowSamples();
}
std::optional<int64_t> audioEncoderEmbedSize(const AudioEncoding& encoder) {
  return encoder.embedSize();
}
std::optional<platform::ml::MLMultiArray> extractFeatures(FeatureExtracting& extractor,
                                                          const platform::ml::MLMultiArray& audio) {
  return extractor.logMelSpectrogram(AudioProcessorOutputType(audio));
}
std::optional<platform::ml::MLMultiArray> encodeFeatures(
    AudioEncoding& encoder, const platform::ml::MLMultiArray& features) {
  return encoder.encodeFeatures(FeatureExtractorOutputType(features));
}

std::filesystem::path downloadModel(const DownloadRequest&) {
  throw WhisperError::modelsUnavailable("Model download is not available in this build");
}

std::filesystem::path hubRepositoryFolder(const std::filesystem::path& downloadBase,
                                          ModelVariant variant) {
  return downloadBase / "models" / std::string(ModelUtilities::tokenizerNameForVariant(variant));
}

std::shared_ptr<const WhisperTokenizer> loadWhisperTokenizer(
    ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
    const std::vector<std::filesystem::path>& additionalSearchFolders, bool useBackgroundSession) {
  return ModelUtilities::loadTokenizer(variant, tokenizerFolder, additionalSearchFolders,
                                       useBackgroundSession);
}

}  // namespace kestrune

#include "Kestrune/Core/EngineModels.hpp"

#include <algorithm>

#include "Kestrune/Core/AudioEncoder.hpp"
#include "Kestrune/Core/FeatureExtractor.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Utilities/TokenizerLoading.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace kestrune {

namespace {

template <typename Component>
WhisperMLModel* holderOf(const std::shared_ptr<Component>& component) {
  return dynamic_cast<WhisperMLModel*>(component.get());
}

// The declared shape of a model's input or output, when it declares one.
std::optional<std::vector<int64_t>> declaredShape(const WhisperMLModel* holder,
                                                  std::string_view feature, bool output) {
  if (holder == nullptr || !holder->model()) return std::nullopt;
  const auto& description = holder->model()->modelDescription();
  const auto& features =
      output ? description.outputDescriptionsByName : description.inputDescriptionsByName;
  const auto found = features.find(feature);
  if (found == features.end() || !found->second.multiArrayConstraint) return std::nullopt;
  return found->second.multiArrayConstraint->shape;
}

void requireSameShape(const WhisperMLModel* producer, std::string_view producerName,
                      const WhisperMLModel* consumer, std::string_view consumerName,
                      std::string_view feature) {
  const auto produced = declaredShape(producer, feature, true);
  const auto consumed = declaredShape(consumer, feature, false);
  if (produced && consumed && *produced != *consumed) {
    throw WhisperError::modelsUnavailable(
        std::string(producerName) + " gives " + std::string(feature) + " of shape " +
        platform::ml::shapeText(*produced) + " but " + std::string(consumerName) + " expects " +
        platform::ml::shapeText(*consumed) + "; the models do not belong together");
  }
}

}  // namespace

void checkModelsAgree(const std::shared_ptr<FeatureExtracting>& featureExtractor,
                      const std::shared_ptr<AudioEncoding>& audioEncoder,
                      const std::shared_ptr<TextDecoding>& textDecoder,
                      const WhisperTokenizer* tokenizer) {
  const WhisperMLModel* mel = holderOf(featureExtractor);
  const WhisperMLModel* encoder = holderOf(audioEncoder);
  const WhisperMLModel* decoder = holderOf(textDecoder);
  requireSameShape(mel, "MelSpectrogram", encoder, "AudioEncoder", "melspectrogram_features");
  requireSameShape(encoder, "AudioEncoder", decoder, "TextDecoder", "encoder_output_embeds");
  if (tokenizer == nullptr || textDecoder == nullptr) return;
  const auto logits = textDecoder->logitsSize();
  if (!logits) return;
  // Every id the decoding loop writes into or reads from the logits.
  const SpecialTokens& special = tokenizer->specialTokens();
  int64_t largest =
      std::max({special.endToken, special.englishToken, special.noSpeechToken,
                special.noTimestampsToken, special.specialTokenBegin, special.startOfPreviousToken,
                special.startOfTranscriptToken, special.timeTokenBegin, special.transcribeToken,
                special.translateToken, special.whitespaceToken});
  for (const int64_t language : tokenizer->allLanguageTokens()) {
    largest = std::max(largest, language);
  }
  if (largest >= *logits) {
    throw WhisperError::modelsUnavailable("TextDecoder gives " + std::to_string(*logits) +
                                          " logits but the tokenizer uses ids up to " +
                                          std::to_string(largest) +
                                          "; the model and the tokenizer do not belong together");
  }
}

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

std::filesystem::path downloadModel(const DownloadRequest& request) {
  const std::string model = request.model ? *request.model
                                          : Kestrune::recommendedRemoteModels(
                                                request.repo, request.downloadBase, request.token,
                                                request.remoteConfigName, request.endpoint)
                                                .defaultModel;
  return Kestrune::download(model, request.downloadBase, request.useBackgroundSession, request.repo,
                            request.token, request.endpoint);
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

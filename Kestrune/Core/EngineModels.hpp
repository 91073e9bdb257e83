#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/ModelVariant.hpp"
#include "Platform/ML/MLComputeUnits.hpp"
#include "Platform/ML/MLMultiArray.hpp"

// How the engine reaches into its model stages: default instances, the
// model-holder part of a component, the stages' dimensions, the tokenizer
// loader and the model download. Kept in one place so that the engine and
// the task speak to the stages through their interfaces only.
namespace kestrune {

class AudioEncoding;
class FeatureExtracting;
class TextDecoding;
class WhisperTokenizer;

inline constexpr std::string_view defaultModelRepo = "orvaneinc/kestrune-coreml";

std::shared_ptr<FeatureExtracting> makeFeatureExtractor();
std::shared_ptr<AudioEncoding> makeAudioEncoder();

// Whether the component also holds a model that the engine loads.
bool isModelHolder(const std::shared_ptr<FeatureExtracting>& component);
bool isModelHolder(const std::shared_ptr<AudioEncoding>& component);
bool isModelHolder(const std::shared_ptr<TextDecoding>& component);
void loadHolder(const std::shared_ptr<FeatureExtracting>& component,
                const std::filesystem::path& path, platform::ml::MLComputeUnits units,
                bool prewarmMode);
void loadHolder(const std::shared_ptr<AudioEncoding>& component, const std::filesystem::path& path,
                platform::ml::MLComputeUnits units, bool prewarmMode);
void loadHolder(const std::shared_ptr<TextDecoding>& component, const std::filesystem::path& path,
                platform::ml::MLComputeUnits units, bool prewarmMode);
void unloadHolder(const std::shared_ptr<FeatureExtracting>& component);
void unloadHolder(const std::shared_ptr<AudioEncoding>& component);
void unloadHolder(const std::shared_ptr<TextDecoding>& component);

// Throws WhisperError.modelsUnavailable when the loaded models cannot work
// together: a model's output shape differs from the input the next stage
// declares, or the tokenizer (when given) uses ids past the decoder's logits.
// Seen at load, so that such a folder never reaches a transcription.
void checkModelsAgree(const std::shared_ptr<FeatureExtracting>& featureExtractor,
                      const std::shared_ptr<AudioEncoding>& audioEncoder,
                      const std::shared_ptr<TextDecoding>& textDecoder,
                      const WhisperTokenizer* tokenizer);

std::optional<int64_t> featureExtractorWindowSamples(const FeatureExtracting& extractor);
std::optional<int64_t> audioEncoderEmbedSize(const AudioEncoding& encoder);
std::optional<platform::ml::MLMultiArray> extractFeatures(FeatureExtracting& extractor,
                                                          const platform::ml::MLMultiArray& audio);
std::optional<platform::ml::MLMultiArray> encodeFeatures(
    AudioEncoding& encoder, const platform::ml::MLMultiArray& features);

struct DownloadRequest {
  std::optional<std::string> model;
  std::optional<std::string> downloadBase;
  std::string repo;
  std::optional<std::string> token;
  std::string remoteConfigName;
  std::string endpoint;
  bool useBackgroundSession = false;
};

// The local folder of the downloaded model: `model`, or the default of this
// device's recommended models in the repository's catalogue. Throws
// whatever stopped it.
std::filesystem::path downloadModel(const DownloadRequest& request);

// Where the hub client keeps the tokenizer repository of `variant` when
// `downloadBase` is its download base.
std::filesystem::path hubRepositoryFolder(const std::filesystem::path& downloadBase,
                                          ModelVariant variant);

// The tokenizer of `variant` from the first folder that has its files,
// downloaded when none has.
std::shared_ptr<const WhisperTokenizer> loadWhisperTokenizer(
    ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
    const std::vector<std::filesystem::path>& additionalSearchFolders, bool useBackgroundSession);

}  // namespace kestrune

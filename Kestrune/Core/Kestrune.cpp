#include "Kestrune/Core/Kestrune.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/EngineModels.hpp"
#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Utilities/ModelUtilities.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/System/SystemInfo.hpp"

namespace kestrune {

using orvane::Logging;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string twoDecimals(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

// The multilingual models have one token more than the English-only ones.
constexpr int64_t englishOnlyLogitsSize = 51864;

}  // namespace

std::string Kestrune::deviceName() {
  return platform::SystemInfo::current().hwModel;
}

Kestrune::Kestrune(const KestruneConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions{})),
      audioInputOptions_(config.audioInputConfig()),
      currentTimings_(TranscriptionTimings{}),
      progress_(orvane::Progress::make()) {
  audioProcessor_ =
      config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>();
  featureExtractor_ = config.featureExtractor ? config.featureExtractor : makeFeatureExtractor();
  audioEncoder_ = config.audioEncoder ? config.audioEncoder : makeAudioEncoder();
  textDecoder_ = config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>();
  if (config.logitsFilters) textDecoder_->setLogitsFilters(*config.logitsFilters);
  segmentSeeker_ = config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>();
  voiceActivityDetector_ = config.voiceActivityDetector;
  const auto& folder = config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase;
  if (folder) tokenizerFolder_ = std::filesystem::path(*folder);
  useBackgroundDownloadSession_ = config.useBackgroundDownloadSession;
  Logging::updateLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

void Kestrune::initialize(const KestruneConfig& config) {
  setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken,
              config.modelFolder, config.download, std::string(Constants::defaultRemoteConfigName),
              config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint)));
  if (config.prewarm.value_or(false)) {
    Logging::info("Prewarming models...");
    prewarmModels();
  }
  if (config.load.value_or(config.modelFolder.has_value())) {
    Logging::info("Loading models...");
    loadModels(false);
  }
}

Kestrune::~Kestrune() {
  try {
    if (audioProcessor_) audioProcessor_->stopRecording();
  } catch (...) {
    // Nothing can be done about a recorder that fails to stop while we go.
  }
}

void Kestrune::setModelState(ModelState state) {
  const ModelState previous = modelState_.exchange(state);
  if (modelStateCallback_) modelStateCallback_(previous, state);
}

void Kestrune::setupModels(const std::optional<std::string>& model,
                           const std::optional<std::string>& downloadBase,
                           const std::optional<std::string>& modelRepo,
                           const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint) {
  if (modelFolder) {
    modelFolder_ = std::filesystem::path(*modelFolder);
    return;
  }
  if (!download) return;
  try {
    modelFolder_ = downloadModel(DownloadRequest{
        .model = model,
        .downloadBase = downloadBase,
        .repo = modelRepo.value_or(std::string(defaultModelRepo)),
        .token = modelToken,
        .remoteConfigName = remoteConfigName,
        .endpoint = endpoint,
        .useBackgroundSession = useBackgroundDownloadSession_,
    });
  } catch (const std::exception& error) {
    throw WhisperError::modelsUnavailable(
        "Model not found. Please check the model or repo name and try again.\nError: " +
        orvane::errorText(error));
  }
}

void Kestrune::prewarmModels() {
  loadModels(true);
}

void Kestrune::loadModels(bool prewarmMode) {
  setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
  const auto start = Clock::now();
  if (!modelFolder_) throw WhisperError::modelsUnavailable("Model folder is not set.");
  const auto& folder = *modelFolder_;
  Logging::debug("Loading models from " + folder.string() +
                 " with prewarmMode: " + orvane::textForm(prewarmMode));

  const auto melPath = ModelUtilities::detectModelURL(folder, "MelSpectrogram");
  const auto encoderPath = ModelUtilities::detectModelURL(folder, "AudioEncoder");
  const auto decoderPath = ModelUtilities::detectModelURL(folder, "TextDecoder");
  for (const auto& path : {melPath, encoderPath, decoderPath}) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
      throw WhisperError::modelsUnavailable("Model file not found at " + path.string());
    }
  }

  if (isModelHolder(featureExtractor_)) {
    Logging::debug("Loading feature extractor");
    loadHolder(featureExtractor_, melPath, modelCompute_.melCompute, prewarmMode);
    Logging::debug("Loaded feature extractor");
  }
  if (isModelHolder(textDecoder_)) {
    Logging::debug("Loading text decoder");
    const auto decoderStart = Clock::now();
    loadHolder(textDecoder_, decoderPath, modelCompute_.textDecoderCompute, prewarmMode);
    const double elapsed = secondsSince(decoderStart);
    currentTimings_.modify([&](TranscriptionTimings& timings) {
      (prewarmMode ? timings.decoderSpecializationTime : timings.decoderLoadTime) = elapsed;
    });
    Logging::debug("Loaded text decoder in " + twoDecimals(currentTimings().decoderLoadTime) + "s");
  }
  if (isModelHolder(audioEncoder_)) {
    Logging::debug("Loading audio encoder");
    const auto encoderStart = Clock::now();
    loadHolder(audioEncoder_, encoderPath, modelCompute_.audioEncoderCompute, prewarmMode);
    const double elapsed = secondsSince(encoderStart);
    currentTimings_.modify([&](TranscriptionTimings& timings) {
      (prewarmMode ? timings.encoderSpecializationTime : timings.encoderLoadTime) = elapsed;
    });
    Logging::debug("Loaded audio encoder in " + twoDecimals(currentTimings().encoderLoadTime) +
                   "s");
  }

  if (prewarmMode) {
    setModelState(ModelState::prewarmed);
    currentTimings_.modify(
        [&](TranscriptionTimings& timings) { timings.prewarmLoadTime = secondsSince(start); });
    return;
  }
  loadTokenizerIfNeeded();
  checkModelsAgree(featureExtractor_, audioEncoder_, textDecoder_, tokenizer_.get());
  setModelState(ModelState::loaded);
  currentTimings_.modify([&](TranscriptionTimings& timings) {
    timings.modelLoading = secondsSince(start) + timings.prewarmLoadTime;
  });
  Logging::info(
      "Loaded models for whisper size: " + std::string(model_variant::description(modelVariant_)) +
      " in " + twoDecimals(currentTimings().modelLoading) + "s");
}

void Kestrune::loadTokenizerIfNeeded() {
  if (tokenizer_) {
    Logging::debug("Tokenizer already exists on Kestrune, skipping load");
    return;
  }
  const auto logitsSize = textDecoder_->logitsSize();
  const auto embedSize = audioEncoderEmbedSize(*audioEncoder_);
  if (!logitsSize || !embedSize) throw WhisperError::tokenizerUnavailable();
  textDecoder_->setIsModelMultilingual(*logitsSize != englishOnlyLogitsSize);
  modelVariant_ =
      ModelUtilities::detectVariant(static_cast<int>(*logitsSize), static_cast<int>(*embedSize));
  Logging::debug("Loading tokenizer for " + std::string(model_variant::description(modelVariant_)));
  const auto start = Clock::now();

  std::vector<std::filesystem::path> searchFolders;
  if (modelFolder_) {
    searchFolders.push_back(*modelFolder_);
    searchFolders.push_back(hubRepositoryFolder(*modelFolder_, modelVariant_));
  }
  tokenizer_ = loadWhisperTokenizer(modelVariant_, tokenizerFolder_, searchFolders,
                                    useBackgroundDownloadSession_);
  textDecoder_->setTokenizer(tokenizer_);
  const double elapsed = secondsSince(start);
  currentTimings_.modify(
      [&](TranscriptionTimings& timings) { timings.tokenizerLoadTime = elapsed; });
  Logging::debug("Loaded tokenizer in " + twoDecimals(elapsed) + "s");
}

void Kestrune::unloadModels() {
  setModelState(ModelState::unloading);
  unloadHolder(featureExtractor_);
  unloadHolder(audioEncoder_);
  unloadHolder(textDecoder_);
  setModelState(ModelState::unloaded);
  Logging::info("Unloaded all models");
}

void Kestrune::clearState() {
  audioProcessor_->stopRecording();
  currentTimings_.set(TranscriptionTimings{});
}

void Kestrune::loggingCallback(orvane::Logging::Callback callback) {
  Logging::updateCallback(std::move(callback));
}

int64_t Kestrune::windowSamples() const {
  return featureExtractorWindowSamples(*featureExtractor_)
      .value_or(Constants::defaultWindowSamples);
}

}  // namespace kestrune

#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Kestrune/Core/Audio/AudioChunker.hpp"
#include "Kestrune/Core/Audio/AudioInputOptions.hpp"
#include "Kestrune/Core/Configurations.hpp"
#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/ModelSupport.hpp"
#include "Kestrune/Core/ModelVariant.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "Kestrune/Core/TranscribeTask.hpp"
#include "Kestrune/Core/TranscriptionResult.hpp"
#include "Kestrune/Core/TranscriptionState.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"
#include "OrvaneCore/External/Hub/TransferProgress.hpp"
#include "OrvaneCore/ModelState.hpp"
#include "OrvaneCore/Progress.hpp"

namespace kestrune {

class AudioProcessing;
class AudioEncoding;
class FeatureExtracting;
class SegmentSeeking;
class VoiceActivityDetector;
class WhisperTokenizer;
class IncrementalFileStream;

using orvane::ModelState;

// One input's outcome in the batch entries: its results, or its error.
using TranscriptionOutcome = ChunkTranscriptionOutcome;
using ModelStateCallback = std::function<void(std::optional<ModelState>, ModelState)>;
using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
// Called with the overall progress of a model download.
using DownloadProgressCallback = std::function<void(const orvane::TransferProgress&)>;

// The detected language code and the probability of every language.
struct LanguageDetection {
  std::string language;
  std::map<std::string, float> langProbs;
};

// The speech-recognition engine: owns the three models through its
// components, the tokenizer, the timing record and the progress object, and
// offers the transcription entry points. Always held by std::shared_ptr
// (batch items hold it weakly); build it with create(). Operations may be
// overridden by a subclass; create<Subclass>() runs the set-up steps after
// the subclass is complete, so its overrides take part.
class Kestrune : public std::enable_shared_from_this<Kestrune> {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr int hopLength = 160;
  static constexpr float secondsPerTimeToken = 0.02f;
  static constexpr bool isRunningOnSimulator = false;
  // The machine's hardware model identifier.
  static std::string deviceName();

  // MARK: Device catalogue and model download
  // In all of these an empty endpoint means HF_ENDPOINT, else the default
  // hub; an absent download base means ~/Documents/huggingface, and an
  // absent token the token of the environment.

  // The built-in catalogue's models for this device.
  static ModelSupport recommendedModels();
  // The catalogue of the repository (its file `remoteConfigName`), or the
  // built-in one when it cannot be fetched or read. Never throws.
  static ModelSupportConfig fetchModelSupportConfig(
      const std::string& repo = "orvaneinc/kestrune-coreml",
      const std::optional<std::string>& downloadBase = std::nullopt,
      const std::optional<std::string>& token = std::nullopt,
      const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
      const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint));
  // This device's models from that catalogue. Never throws.
  static ModelSupport recommendedRemoteModels(
      const std::string& repo = "orvaneinc/kestrune-coreml",
      const std::optional<std::string>& downloadBase = std::nullopt,
      const std::optional<std::string>& token = std::nullopt,
      const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
      const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint));
  // This device's supported models that match any of the glob patterns,
  // ordered by size (ModelUtilities::formatModelFiles).
  static std::vector<std::string> fetchAvailableModels(
      const std::string& repo = "orvaneinc/kestrune-coreml",
      const std::vector<std::string>& matching = {"*"},
      const std::optional<std::string>& downloadBase = std::nullopt,
      const std::optional<std::string>& token = std::nullopt,
      const std::string& remoteConfigName = std::string(Constants::defaultRemoteConfigName),
      const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint));
  // Downloads the one model folder of the repository whose name ends in
  // `variant` ("tiny", "openai_whisper-base", ...) and returns its local
  // folder. Throws WhisperError.modelsUnavailable when no folder or several
  // match, and the hub client's errors. Background sessions are not
  // available here: the flag is accepted and the download runs in the
  // foreground.
  static std::filesystem::path download(
      const std::string& variant, const std::optional<std::string>& downloadBase = std::nullopt,
      bool useBackgroundSession = false, const std::string& repo = "orvaneinc/kestrune-coreml",
      const std::optional<std::string>& token = std::nullopt,
      const std::string& endpoint = std::string(Constants::defaultRemoteEndpoint),
      const DownloadProgressCallback& progressCallback = nullptr);

  // Builds, sets up, prewarms and loads as the configuration says. Throws
  // the first error of any step.
  template <typename Engine = Kestrune, typename... Extra>
  static std::shared_ptr<Engine> create(const KestruneConfig& config, Extra&&... extra) {
    // Reaches the protected constructor of Engine.
    struct Made : Engine {
      explicit Made(const KestruneConfig& made, Extra&&... more)
          : Engine(made, std::forward<Extra>(more)...) {}
    };
    std::shared_ptr<Engine> engine = std::make_shared<Made>(config, std::forward<Extra>(extra)...);
    engine->initialize(config);
    return engine;
  }
  virtual ~Kestrune();
  Kestrune(const Kestrune&) = delete;
  Kestrune& operator=(const Kestrune&) = delete;

  // MARK: State
  ModelVariant modelVariant() const { return modelVariant_; }
  void setModelVariant(ModelVariant variant) { modelVariant_ = variant; }
  ModelState modelState() const { return modelState_; }
  // Every change is told to the model-state callback.
  void setModelState(ModelState state);
  const ModelComputeOptions& modelCompute() const { return modelCompute_; }
  void setModelCompute(ModelComputeOptions options) { modelCompute_ = options; }
  const AudioInputOptions& audioInputOptions() const { return audioInputOptions_; }
  void setAudioInputOptions(AudioInputOptions options) { audioInputOptions_ = std::move(options); }
  const AudioInputOptions& audioInputConfig() const { return audioInputOptions_; }
  void setAudioInputConfig(AudioInputOptions options) { audioInputOptions_ = std::move(options); }
  std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    tokenizer_ = std::move(tokenizer);
  }

  // MARK: Components
  const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
  void setAudioProcessor(std::shared_ptr<AudioProcessing> value) {
    audioProcessor_ = std::move(value);
  }
  const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
  void setFeatureExtractor(std::shared_ptr<FeatureExtracting> value) {
    featureExtractor_ = std::move(value);
  }
  const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
  void setAudioEncoder(std::shared_ptr<AudioEncoding> value) { audioEncoder_ = std::move(value); }
  const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }
  void setTextDecoder(std::shared_ptr<TextDecoding> value) { textDecoder_ = std::move(value); }
  const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
  void setSegmentSeeker(std::shared_ptr<SegmentSeeking> value) {
    segmentSeeker_ = std::move(value);
  }
  const std::shared_ptr<const VoiceActivityDetector>& voiceActivityDetector() const {
    return voiceActivityDetector_;
  }
  void setVoiceActivityDetector(std::shared_ptr<const VoiceActivityDetector> value) {
    voiceActivityDetector_ = std::move(value);
  }

  TranscriptionTimings currentTimings() const { return currentTimings_.get(); }
  void setCurrentTimings(TranscriptionTimings timings) { currentTimings_.set(timings); }
  std::shared_ptr<orvane::Progress> progress() const { return progress_.get(); }
  void setProgress(std::shared_ptr<orvane::Progress> progress) {
    progress_.set(std::move(progress));
  }
  const std::optional<std::filesystem::path>& modelFolder() const { return modelFolder_; }
  void setModelFolder(std::optional<std::filesystem::path> folder) {
    modelFolder_ = std::move(folder);
  }
  const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
  void setTokenizerFolder(std::optional<std::filesystem::path> folder) {
    tokenizerFolder_ = std::move(folder);
  }
  bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
  void setUseBackgroundDownloadSession(bool value) { useBackgroundDownloadSession_ = value; }

  SegmentDiscoveryCallback segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
  void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
    segmentDiscoveryCallback_ = std::move(callback);
  }
  ModelStateCallback modelStateCallback() const { return modelStateCallback_; }
  void setModelStateCallback(ModelStateCallback callback) {
    modelStateCallback_ = std::move(callback);
  }
  TranscriptionStateCallback transcriptionStateCallback() const {
    return transcriptionStateCallback_;
  }
  void setTranscriptionStateCallback(TranscriptionStateCallback callback) {
    transcriptionStateCallback_ = std::move(callback);
  }

  // MARK: Lifecycle
  // With a model folder: takes it as it is, nothing downloaded. Without one
  // and with `download`: fetches `model` (or this device's recommended one)
  // from `modelRepo` through the hub; a failure is modelsUnavailable.
  virtual void setupModels(const std::optional<std::string>& model,
                           const std::optional<std::string>& downloadBase,
                           const std::optional<std::string>& modelRepo,
                           const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint);
  virtual void prewarmModels();
  // Loads the three models in the order mel, decoder, encoder; a prewarm
  // load releases them again. Throws WhisperError.modelsUnavailable for a
  // missing folder or model file and passes load errors up.
  virtual void loadModels(bool prewarmMode = false);
  virtual void loadTokenizerIfNeeded();
  virtual void unloadModels();
  // Stops any recording and restores the initial timing record.
  virtual void clearState();
  // Installs `callback` as the process-wide log sink.
  virtual void loggingCallback(orvane::Logging::Callback callback);

  // MARK: Language detection
  virtual LanguageDetection detectLanguage(const std::string& audioPath);
  virtual LanguageDetection detectLangauge(const std::vector<float>& audioArray);

  // MARK: Files
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(
      const std::vector<std::string>& audioPaths,
      const std::optional<AudioInputOptions>& audioInputOptions,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const TranscriptionCallback& callback = nullptr);
  virtual std::vector<TranscriptionOutcome> transcribeWithResults(
      const std::vector<std::string>& audioPaths,
      const std::optional<AudioInputOptions>& audioInputOptions,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const TranscriptionCallback& callback = nullptr);

  // MARK: Arrays
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(
      const std::vector<std::vector<float>>& audioArrays,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const TranscriptionCallback& callback = nullptr);
  virtual std::vector<TranscriptionOutcome> transcribeWithResults(
      const std::vector<std::vector<float>>& audioArrays,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const TranscriptionCallback& callback = nullptr);
  // One outcome per array, in input order; batches of the largest worker
  // count run one after another, the items of a batch at once.
  virtual std::vector<TranscriptionOutcome> transcribeWithOptions(
      const std::vector<std::vector<float>>& audioArrays,
      const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
      const std::optional<std::vector<int64_t>>& seekOffsets = std::nullopt,
      const TranscriptionCallback& callback = nullptr);

  virtual TranscriptionResults transcribe(const std::string& audioPath,
                                          const std::optional<AudioInputOptions>& audioInputOptions,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionCallback& callback = nullptr);
  virtual TranscriptionResults transcribe(
      const std::vector<float>& audioArray,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const TranscriptionCallback& callback = nullptr,
      const SegmentDiscoveryCallback& segmentCallback = nullptr);
  // `audioArrayOffset` is where the array starts within a longer recording;
  // segments reported and returned are on that recording's time line.
  virtual TranscriptionResults transcribe(
      const std::vector<float>& audioArray, int64_t audioArrayOffset,
      const std::optional<DecodingOptions>& decodeOptions,
      const TranscriptionCallback& callback = nullptr,
      const SegmentDiscoveryCallback& segmentCallback = nullptr);

  virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
      TranscriptionTimings currentTimings, std::shared_ptr<orvane::Progress> progress,
      std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
      std::shared_ptr<FeatureExtracting> featureExtractor,
      std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
      std::shared_ptr<const WhisperTokenizer> tokenizer);
  virtual TranscriptionResults runTranscribeTask(
      const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
      const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback);

  // The window length: the feature extractor's, else 480000 samples.
  int64_t windowSamples() const;

 protected:
  // Construction steps up to the log level; create() runs the rest.
  explicit Kestrune(const KestruneConfig& config);
  void initialize(const KestruneConfig& config);

 private:
  IncrementalFileStream openFileStream(const std::string& audioPath,
                                       const AudioInputOptions& inputOptions) const;
  TranscriptionResults transcribeFileStream(IncrementalFileStream& stream,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback,
                                            bool withStateCallbacks);
  TranscriptionResults transcribeChunked(const std::vector<float>& audioArray,
                                         int64_t audioArrayOffset, const DecodingOptions& options,
                                         const TranscriptionCallback& callback);
  std::shared_ptr<const VoiceActivityDetector> detectorForChunking() const;
  void tellTranscriptionState(TranscriptionState state) const;

  ModelVariant modelVariant_ = ModelVariant::tiny;
  std::atomic<ModelState> modelState_ = ModelState::unloaded;
  std::mutex loadingLock_;
  ModelComputeOptions modelCompute_;
  AudioInputOptions audioInputOptions_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector_;
  // Batch items update these from several threads at once.
  orvane::PropertyLock<TranscriptionTimings> currentTimings_;
  orvane::PropertyLock<std::shared_ptr<orvane::Progress>> progress_;
  std::optional<std::filesystem::path> modelFolder_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  bool useBackgroundDownloadSession_ = false;
  SegmentDiscoveryCallback segmentDiscoveryCallback_;
  ModelStateCallback modelStateCallback_;
  TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace kestrune

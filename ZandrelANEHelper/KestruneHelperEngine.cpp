#include "ZandrelANEHelper/KestruneHelperEngine.hpp"

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Kestrune.hpp"

namespace zandrel {

namespace {

platform::ml::MLComputeUnits computeUnits(ComputeUnits units) {
  return static_cast<platform::ml::MLComputeUnits>(static_cast<int>(units));
}

// The options every request is decoded with; only the language varies.
kestrune::DecodingOptions requestOptions(const std::string& language) {
  return kestrune::DecodingOptions{
      .verbose = false,
      .task = kestrune::DecodingTask::transcribe,
      .language = language,
      .temperature = 0.0f,
      .temperatureIncrementOnFallback = 0.2f,
      .temperatureFallbackCount = 5,
      .sampleLength = kestrune::Constants::maxTokenContext,
      .topK = 5,
      .usePrefillPrompt = true,
      .skipSpecialTokens = true,
      .withoutTimestamps = false,
      .wordTimestamps = true,
      .windowClipTime = 1.0f,
      .suppressBlank = false,
      .compressionRatioThreshold = 2.4f,
      .logProbThreshold = -1.0f,
      .firstTokenLogProbThreshold = -1.5f,
      .noSpeechThreshold = 0.6f,
  };
}

EngineResult engineResult(const kestrune::TranscriptionResult& result) {
  EngineResult converted;
  converted.text = result.text();
  for (const auto& segment : result.segments()) {
    EngineSegment engineSegment;
    if (segment.words) {
      std::vector<EngineWordTiming> words;
      for (const auto& word : *segment.words) {
        words.push_back({word.word, word.start, word.end, word.probability});
      }
      engineSegment.words = std::move(words);
    }
    converted.segments.push_back(std::move(engineSegment));
  }
  return converted;
}

}  // namespace

std::unique_ptr<HelperEngine> KestruneHelperEngine::build(
    const HelperConfiguration& configuration) {
  kestrune::KestruneConfig config;
  config.model = configuration.model;
  config.modelFolder = configuration.modelFolder;
  config.computeOptions = kestrune::ModelComputeOptions(
      computeUnits(configuration.melCompute), computeUnits(configuration.audioEncoderCompute),
      computeUnits(configuration.textDecoderCompute));
  config.verbose = configuration.verbose;
  config.logLevel = orvane::Logging::LogLevel::error;
  config.prewarm = configuration.prewarm;
  config.load = configuration.load;
  config.download = configuration.download;
  config.useBackgroundDownloadSession = configuration.useBackgroundDownloadSession;
  return std::make_unique<KestruneHelperEngine>(kestrune::Kestrune::create(config));
}

KestruneHelperEngine::KestruneHelperEngine(std::shared_ptr<kestrune::Kestrune> engine)
    : engine_(std::move(engine)) {}

std::vector<EngineResult> KestruneHelperEngine::transcribe(std::span<const float> samples,
                                                           const std::string& language) {
  const std::vector<float> audio(samples.begin(), samples.end());
  std::vector<EngineResult> converted;
  for (const auto& result : engine_->transcribe(audio, requestOptions(language))) {
    converted.push_back(engineResult(*result));
  }
  return converted;
}

}  // namespace zandrel

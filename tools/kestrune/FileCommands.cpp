#include "tools/kestrune/FileCommands.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/ResultWriter.hpp"
#include "Kestrune/Utilities/TranscriptionUtilities.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune/CommandFailure.hpp"
#include "tools/kestrune/EngineSetup.hpp"
#include "tools/kestrune/ProgressDisplay.hpp"

namespace kestrune::cli {

namespace fs = std::filesystem;

namespace {

void requireFile(const std::string& path) {
  std::error_code error;
  const auto status = fs::status(path, error);
  if (!fs::exists(status)) throw CommandFailure(path + ": no such file");
  if (fs::is_directory(status)) throw CommandFailure(path + ": is a folder, not an audio file");
}

std::vector<std::string> expandedFormats(const TranscribeSettings& settings) {
  std::vector<std::string> formats;
  const auto add = [&](const std::string& format) {
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
      formats.push_back(format);
    }
  };
  for (const auto& format : settings.formats) {
    if (format == "all") {
      for (const auto& each : outputFormats) add(each);
    } else {
      add(format);
    }
  }
  // An output folder alone asks for every format.
  if (formats.empty() && settings.outputDir) formats = outputFormats;
  return formats;
}

// Output files are named after their input; two inputs of one name would
// overwrite each other's results, so that is refused before any work.
std::vector<std::string> outputNames(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  std::map<std::string, std::string> owners;
  for (const auto& file : files) {
    const std::string name = fs::path(file).stem().string();
    const auto [owner, fresh] = owners.emplace(name, file);
    if (!fresh) {
      throw UsageFailure(file + " and " + owner->second + " would both write results named \"" +
                         name +
                         "\"; transcribe them in separate runs or with separate --output-dir");
    }
    names.push_back(name);
  }
  return names;
}

DecodingOptions decodingOptions(const TranscribeSettings& settings) {
  DecodingOptions options{
      .task = settings.task == "translate" ? DecodingTask::translate : DecodingTask::transcribe,
      .language = settings.language,
      .temperature = settings.temperature,
      .temperatureIncrementOnFallback = settings.temperatureIncrement,
      .temperatureFallbackCount = settings.fallbackCount,
      .usePrefillPrompt = true,
      // Without a language the model is asked which one it hears.
      .detectLanguage = !settings.language.has_value(),
      .skipSpecialTokens = true,
      .wordTimestamps = settings.wordTimestamps,
      .compressionRatioThreshold = settings.compressionRatioThreshold,
      .logProbThreshold = settings.logProbThreshold,
      .noSpeechThreshold = settings.noSpeechThreshold,
      .concurrentWorkerCount = settings.workers,
      .chunkingStrategy = settings.vad ? ChunkingStrategy::vad : ChunkingStrategy::none,
  };
  return options;
}

AudioInputOptions inputOptions(const TranscribeSettings& settings) {
  AudioInputOptions options;
  if (settings.incremental) {
    options.audioLoadingMode = AudioLoadingMode::incremental(
        settings.chunkSeconds, AudioLoadingMode::defaultMaxBufferedChunks);
  }
  return options;
}

double audioSeconds(const std::string& file) {
  auto audio = AudioProcessor::openAudioFile(file);
  const double rate = audio.processingFormat().sampleRate;
  return rate > 0 ? static_cast<double>(audio.length()) / rate : 0;
}

std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\n");
  if (begin == std::string::npos) return "";
  const auto end = text.find_last_not_of(" \t\n");
  return text.substr(begin, end - begin + 1);
}

std::shared_ptr<TranscriptionResult> combined(const TranscriptionResults& results) {
  if (results.size() == 1) return results.front();
  if (results.empty()) return TranscriptionResult::make("", {}, "", {});
  return TranscriptionUtilities::mergeTranscriptionResults(results);
}

// Written beside the target and renamed over it, like the other formats.
void writeText(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".partial";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text << '\n';
    file.close();
    if (!file) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      throw CommandFailure("cannot write " + path.string());
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) {
    fs::remove(temporary, error);
    throw CommandFailure("cannot write " + path.string());
  }
}

void writeResults(const TranscriptionResult& result, const std::string& folder,
                  const std::string& name, const std::vector<std::string>& formats) {
  for (const auto& format : formats) {
    if (format == "txt") {
      writeText(fs::path(folder) / (name + ".txt"), trimmed(result.text()));
      continue;
    }
    std::unique_ptr<ResultWriting> writer;
    if (format == "srt") writer = std::make_unique<WriteSRT>(folder);
    if (format == "vtt") writer = std::make_unique<WriteVTT>(folder);
    if (format == "json") writer = std::make_unique<WriteJSON>(folder);
    const auto outcome = writer->write(result, name);
    if (const auto* failure = std::get_if<std::exception_ptr>(&outcome)) {
      throw CommandFailure("cannot write " + (fs::path(folder) / (name + "." + format)).string() +
                           ": " + describe(*failure));
    }
  }
}

void prepareOutputFolder(const std::string& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) {
    throw CommandFailure("cannot use output folder " + folder + ": " +
                         (error ? error.message() : "not a folder"));
  }
}

}  // namespace

int runTranscribe(const TranscribeSettings& settings, std::ostream& out, std::ostream& err) {
  for (const auto& file : settings.files) requireFile(file);
  const auto formats = expandedFormats(settings);
  const auto names = formats.empty() ? std::vector<std::string>(settings.files.size())
                                     : outputNames(settings.files);
  const std::string folder = settings.outputDir.value_or(".");
  if (!formats.empty()) prepareOutputFolder(folder);

  const auto engine = loadEngine(settings.model);
  const auto options = decodingOptions(settings);
  const auto audioInput = inputOptions(settings);
  int status = 0;
  for (size_t index = 0; index < settings.files.size(); ++index) {
    const std::string& file = settings.files[index];
    try {
      const double seconds = audioSeconds(file);
      engine->resetSamplesDone();
      const double totalSamples = seconds * AudioProcessor::sampleRate;
      ProgressDisplay display(err, settings.progressBar, fs::path(file).filename().string(),
                              seconds, [&engine, totalSamples] {
                                return totalSamples > 0 ? engine->samplesDone() / totalSamples : 0;
                              });
      const auto result = combined(engine->transcribe(file, audioInput, options));
      display.finish(true);
      if (settings.files.size() > 1) out << "==> " << file << " <==\n";
      out << trimmed(result->text()) << '\n' << std::flush;
      if (!formats.empty()) writeResults(*result, folder, names[index], formats);
      if (settings.verbose) err << result->timingsReport() << '\n' << std::flush;
    } catch (const std::exception& failure) {
      err << "kestrune: " << file << ": " << describe(failure) << '\n' << std::flush;
      status = 1;
    }
  }
  return status;
}

int runDetectLanguage(const DetectLanguageSettings& settings, std::ostream& out) {
  requireFile(settings.file);
  const auto engine = loadEngine(settings.model);
  LanguageDetection detection;
  try {
    detection = engine->detectLanguage(settings.file);
  } catch (const std::exception& failure) {
    throw CommandFailure(settings.file + ": " + describe(failure));
  }
  // The engine reports log-probabilities.
  std::vector<std::pair<std::string, double>> ranked;
  for (const auto& [code, logProbability] : detection.langProbs) {
    ranked.emplace_back(code, std::clamp(std::exp(static_cast<double>(logProbability)), 0.0, 1.0));
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  out << "language: " << detection.language << '\n';
  const size_t shown = std::min(ranked.size(), static_cast<size_t>(settings.top));
  for (size_t i = 0; i < shown; ++i) {
    char probability[32];
    std::snprintf(probability, sizeof probability, "%.4f", ranked[i].second);
    out << "  " << ranked[i].first << ' ' << probability << '\n';
  }
  return 0;
}

int runConvert(const ConvertSettings& settings, std::ostream& out) {
  std::error_code error;
  if (!fs::is_directory(settings.checkpoint, error)) {
    throw CommandFailure("checkpoint folder " + settings.checkpoint + " does not exist");
  }
  tools::ConvertOptions options;
  options.dtype = settings.fp32 ? platform::ml::TensorDType::f32 : platform::ml::TensorDType::f16;
  options.cacheLength = settings.cacheLength;
  try {
    tools::convertCheckpoint(settings.checkpoint, settings.output, options);
  } catch (const std::exception& failure) {
    throw CommandFailure("cannot convert " + settings.checkpoint + ": " + describe(failure));
  }
  out << "model folder written to " << settings.output << '\n';
  return 0;
}

}  // namespace kestrune::cli

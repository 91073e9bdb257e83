#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrune::cli {

// Output formats, in the order "all" writes them.
inline const std::vector<std::string> outputFormats{"txt", "srt", "vtt", "json"};

// What `kestrune transcribe` was asked to do, as parsed.
struct TranscribeSettings {
  std::vector<std::string> files;
  std::optional<std::string> model;
  std::optional<std::string> language;
  std::string task = "transcribe";
  bool wordTimestamps = false;
  float temperature = 0.0f;
  float temperatureIncrement = 0.2f;
  int64_t fallbackCount = 5;
  float compressionRatioThreshold = 2.4f;
  float logProbThreshold = -1.0f;
  float noSpeechThreshold = 0.6f;
  bool vad = false;
  int64_t workers = 16;
  bool incremental = false;
  double chunkSeconds = 120;
  std::vector<std::string> formats;
  std::optional<std::string> outputDir;
  bool verbose = false;
  // Whether standard error is a terminal (the bar) or not (plain lines).
  bool progressBar = false;
};

struct DetectLanguageSettings {
  std::string file;
  std::optional<std::string> model;
  int64_t top = 5;
};

struct ConvertSettings {
  std::string checkpoint;
  std::string output;
  bool fp32 = false;
  int64_t cacheLength = 224;
};

// Each returns the exit status: 0, or 1 when some file failed (each failure
// already reported on `err` as one line). Throws CommandFailure or
// UsageFailure when nothing could be done at all.
int runTranscribe(const TranscribeSettings& settings, std::ostream& out, std::ostream& err);
int runDetectLanguage(const DetectLanguageSettings& settings, std::ostream& out);
int runConvert(const ConvertSettings& settings, std::ostream& out);

}  // namespace kestrune::cli

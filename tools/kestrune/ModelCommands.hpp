#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace kestrune::cli {

inline constexpr const char* defaultModelRepo = "orvaneinc/kestrune-coreml";

struct DownloadSettings {
  // A model name ("tiny", "openai_whisper-base"); the recommended model of
  // this machine when absent.
  std::optional<std::string> model;
  std::string repo = defaultModelRepo;
  // Where downloads are kept; the hub client's default when absent.
  std::optional<std::string> downloadBase;
  std::optional<std::string> token;
  // Empty: HF_ENDPOINT, else the default hub.
  std::string endpoint;
  bool progressBar = false;
};

struct ModelsSettings {
  std::string repo = defaultModelRepo;
  std::optional<std::string> downloadBase;
  std::optional<std::string> token;
  std::string endpoint;
  // Only the built-in catalogue; nothing is fetched.
  bool offline = false;
};

// Prints the downloaded model folder on `out`. Throws CommandFailure.
int runDownload(const DownloadSettings& settings, std::ostream& out, std::ostream& err);
// Prints the machine, its recommended model and the supported ones.
int runModels(const ModelsSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli

#include <cstdlib>

#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "Kestrune/Utilities/TokenizerLoading.hpp"
#include "OrvaneCore/External/Hub/LanguageModelConfigurationFromHub.hpp"
#include "OrvaneCore/HubWrapper.hpp"
#include "OrvaneCore/Logging.hpp"

namespace kestrune::ModelUtilities {

namespace fs = std::filesystem;
using orvane::Logging;

namespace {

bool fileExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// Fetches the tokenizer repository into the hub client's folder. The
// client is made only here, when a download is needed: making it starts the
// network monitor and, in continuous integration, prints a line.
orvane::TokenizerWrapper fromHub(const std::optional<fs::path>& downloadBase,
                                 bool useBackgroundSession, const std::string& name) {
  const orvane::HubApiWrapper hub(downloadBase, std::nullopt, std::nullopt, useBackgroundSession);
  return orvane::AutoTokenizerWrapper::from(
      orvane::LanguageModelConfigurationFromHub::fromHub(name, "main", hub.impl), true);
}

std::optional<fs::path> findLocalTokenizer(const std::vector<fs::path>& searchPaths) {
  for (const fs::path& folder : searchPaths) {
    const fs::path file = folder / "tokenizer.json";
    const bool found = fileExists(file);
    Logging::debug("Checking for local tokenizer at " + file.string() + " - " +
                   (found ? "found" : "not found"));
    if (found) {
      Logging::debug("Found local tokenizer at " + folder.string());
      return folder;
    }
  }
  Logging::debug("No tokenizer found in any local search paths");
  return std::nullopt;
}

}  // namespace

std::string_view tokenizerNameForVariant(ModelVariant variant) {
  switch (variant) {
    case ModelVariant::tiny: return "openai/whisper-tiny";
    case ModelVariant::tinyEn: return "openai/whisper-tiny.en";
    case ModelVariant::base: return "openai/whisper-base";
    case ModelVariant::baseEn: return "openai/whisper-base.en";
    case ModelVariant::small: return "openai/whisper-small";
    case ModelVariant::smallEn: return "openai/whisper-small.en";
    case ModelVariant::medium: return "openai/whisper-medium";
    case ModelVariant::mediumEn: return "openai/whisper-medium.en";
    case ModelVariant::large: return "openai/whisper-large";
    case ModelVariant::largev2: return "openai/whisper-large-v2";
    case ModelVariant::largev3: return "openai/whisper-large-v3";
  }
  return "openai/whisper-base";
}

fs::path defaultDownloadBase() {
  const char* home = std::getenv("HOME");
  const fs::path base = home && *home ? fs::path(home) : fs::current_path();
  return base / "Documents" / "huggingface";
}

std::shared_ptr<const WhisperTokenizer> loadTokenizer(
    ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
    const std::vector<fs::path>& additionalSearchPaths, bool useBackgroundSession) {
  return loadTokenizer(variant, tokenizerFolder, additionalSearchPaths, useBackgroundSession,
                       [&](const std::string& name, const fs::path&) {
                         return fromHub(tokenizerFolder, useBackgroundSession, name);
                       });
}

std::shared_ptr<const WhisperTokenizer> loadTokenizer(
    ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
    const std::vector<fs::path>& additionalSearchPaths, bool /*useBackgroundSession*/,
    const HubTokenizerLoader& hubLoader) {
  const std::string name(tokenizerNameForVariant(variant));
  const fs::path downloadBase = tokenizerFolder.value_or(defaultDownloadBase());
  const fs::path hubTokenizerFolder = downloadBase / "models" / name;

  std::vector<fs::path> searchPaths{hubTokenizerFolder};
  if (tokenizerFolder) searchPaths.push_back(*tokenizerFolder);
  searchPaths.insert(searchPaths.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

  if (const std::optional<fs::path> folder = findLocalTokenizer(searchPaths)) {
    Logging::debug("Loading tokenizer from " + folder->string());
    try {
      return std::make_shared<WhisperTokenizerWrapper>(
          orvane::AutoTokenizerWrapper::from(*folder, true), *folder);
    } catch (const std::exception& error) {
      Logging::debug("Error loading local tokenizer: " + orvane::errorText(error));
    }
  }
  Logging::debug("Downloading tokenizer from Hub at " + hubTokenizerFolder.string());
  return std::make_shared<WhisperTokenizerWrapper>(hubLoader(name, hubTokenizerFolder),
                                                   hubTokenizerFolder);
}

}  // namespace kestrune::ModelUtilities

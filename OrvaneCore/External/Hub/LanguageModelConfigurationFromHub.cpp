#include "OrvaneCore/External/Hub/LanguageModelConfigurationFromHub.hpp"

#include <fstream>
#include <sstream>

#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"
#include "OrvaneCore/External/Hub/HubApi.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"
#include "Platform/Net/NetworkError.hpp"

namespace orvane {

namespace fs = std::filesystem;

namespace {

bool fileExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// Errors of reading one file, as the callers of loadConfig know them.
template <typename Read>
auto mappingErrors(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const HubClientError&) {
    throw;
  } catch (const std::exception& error) {
    throw HubClientError::fileSystemError(error);
  }
}

std::optional<std::string> readUTF8Text(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::ostringstream text;
  text << stream.rdbuf();
  if (stream.bad()) return std::nullopt;
  std::string bytes = text.str();
  if (!unicode::isValidUTF8(bytes)) return std::nullopt;
  return bytes;
}

std::optional<std::string> chatTemplate(const fs::path& folder) {
  const fs::path jinja = folder / "chat_template.jinja";
  if (fileExists(jinja)) return readUTF8Text(jinja);
  const fs::path json = folder / "chat_template.json";
  if (!fileExists(json)) return std::nullopt;
  try {
    return readConfiguration(json)["chat_template"].string();
  } catch (const std::exception&) {
    return std::nullopt;  // an unreadable template file is no reason to fail
  }
}

}  // namespace

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(fs::path modelFolder)
    : LanguageModelConfigurationFromHub(
          [folder = std::move(modelFolder)] { return loadConfig(folder); }) {}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(
    std::function<Configurations()> load)
    : configPromise_(std::async(std::launch::async, std::move(load)).share()) {}

LanguageModelConfigurationFromHub LanguageModelConfigurationFromHub::fromHub(std::string modelName,
                                                                             std::string revision,
                                                                             HubApi hubApi) {
  return LanguageModelConfigurationFromHub(
      [name = std::move(modelName), revision = std::move(revision), hub = std::move(hubApi)] {
        fs::path folder;
        try {
          folder = hub.snapshot(Repo{name, RepoType::models}, revision,
                                {"config.json", "tokenizer_config.json", "chat_template.jinja",
                                 "chat_template.json", "tokenizer.json"});
        } catch (const platform::net::NetworkError& error) {
          throw HubClientError::networkError(error.what());
        }
        return loadConfig(folder);
      });
}

Configurations LanguageModelConfigurationFromHub::loadConfig(const fs::path& modelFolder) {
  Configurations configurations;
  const fs::path modelConfig = modelFolder / "config.json";
  if (fileExists(modelConfig)) {
    configurations.modelConfig = mappingErrors([&] { return readConfiguration(modelConfig); });
  }
  const fs::path tokenizerData = modelFolder / "tokenizer.json";
  if (!fileExists(tokenizerData)) throw HubClientError::configurationMissing("tokenizer.json");
  configurations.tokenizerData = mappingErrors([&] { return readConfiguration(tokenizerData); });
  const fs::path tokenizerConfig = modelFolder / "tokenizer_config.json";
  if (fileExists(tokenizerConfig)) {
    configurations.tokenizerConfig =
        mappingErrors([&] { return readConfiguration(tokenizerConfig); });
  }
  if (const std::optional<std::string> text = chatTemplate(modelFolder)) {
    Config::Dictionary entries;
    if (configurations.tokenizerConfig && configurations.tokenizerConfig->dictionary()) {
      entries = *configurations.tokenizerConfig->dictionary();
    }
    entries.insert_or_assign(BinaryDistinctString("chat_template"), Config(*text));
    configurations.tokenizerConfig = Config(std::move(entries));
  }
  return configurations;
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
  const std::optional<Config>& modelConfig = configurations().modelConfig;
  if (!modelConfig) return std::nullopt;
  return (*modelConfig)["model_type"].string();
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
  const std::optional<Config>& config = configurations().tokenizerConfig;
  if (!config) return std::nullopt;
  if ((*config)["tokenizer_class"].string()) return config;
  const std::optional<std::string> type = modelType();
  if (!type) return config;
  Config::Dictionary entries = config->dictionary() ? *config->dictionary() : Config::Dictionary{};
  entries.insert_or_assign(BinaryDistinctString("tokenizer_class"),
                           Config(unicode::capitalized(*type) + "Tokenizer"));
  return Config(std::move(entries));
}

}  // namespace orvane

#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

struct HubApi;

// The configuration files of one model: config.json, tokenizer_config.json
// (with a chat template added when one is found) and tokenizer.json.
struct Configurations {
  std::optional<Config> modelConfig;
  std::optional<Config> tokenizerConfig;
  Config tokenizerData;
};

// Reads the configuration files of a model once, on a task of its own
// started at construction; every getter waits for that one outcome and
// rethrows its error.
class LanguageModelConfigurationFromHub {
 public:
  explicit LanguageModelConfigurationFromHub(std::filesystem::path modelFolder);
  // Any other source of configurations, such as a hub snapshot that is
  // fetched first and then read with loadConfig.
  explicit LanguageModelConfigurationFromHub(std::function<Configurations()> load);
  // The files of the models repository `modelName` at `revision`, fetched
  // into its local folder first (config.json, tokenizer_config.json, the
  // chat templates and tokenizer.json, those the repository has). Transfer
  // failures become HubClientError.networkError; other errors pass as they
  // are.
  static LanguageModelConfigurationFromHub fromHub(std::string modelName, std::string revision,
                                                   HubApi hubApi);

  std::optional<Config> modelConfig() const { return configurations().modelConfig; }
  Config tokenizerData() const { return configurations().tokenizerData; }
  // The string at `model_type` of the model configuration.
  std::optional<std::string> modelType() const;
  // The tokenizer configuration; one without `tokenizer_class` gets the
  // class named after the model type ("whisper" gives "WhisperTokenizer").
  std::optional<Config> tokenizerConfig() const;

  // Reads the files of a folder. A missing tokenizer.json is
  // HubClientError.configurationMissing("tokenizer.json"); file errors
  // become HubClientError.fileSystemError.
  static Configurations loadConfig(const std::filesystem::path& modelFolder);

 private:
  const Configurations& configurations() const { return configPromise_.get(); }

  std::shared_future<Configurations> configPromise_;
};

}  // namespace orvane

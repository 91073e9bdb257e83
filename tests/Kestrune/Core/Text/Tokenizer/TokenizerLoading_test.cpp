#include "Kestrune/Utilities/TokenizerLoading.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "OrvaneCore/External/Hub/LanguageModelConfigurationFromHub.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/Support/ScopedEnvironment.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using orvane::Config;
using orvane::HubClientError;
using orvane::LanguageModelConfigurationFromHub;

const fs::path sharedTokenizers = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers";

class TokenizerFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tokenizer-loading-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::none);
    orvane::Logging::updateCallback(nullptr);
    fs::remove_all(root_);
  }

  fs::path folder(const std::string& name) {
    const fs::path path = root_ / name;
    fs::create_directories(path);
    return path;
  }
  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static void copyTokenizer(const fs::path& to, bool withConfig = true) {
    fs::create_directories(to);
    const fs::path from = sharedTokenizers / "multilingual";
    fs::copy_file(from / "tokenizer.json", to / "tokenizer.json");
    if (withConfig) fs::copy_file(from / "tokenizer_config.json", to / "tokenizer_config.json");
  }
  void captureLogs() {
    orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::debug);
    orvane::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard guard(linesLock_);
      lines_.push_back(line);
    });
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(linesLock_);
    return lines_;
  }

  fs::path root_;
  std::mutex linesLock_;
  std::vector<std::string> lines_;
};

TEST_F(TokenizerFolderTest, FolderWithoutTokenizerConfigLoadsButBuildsNoTokenizer) {
  const fs::path path = folder("bare");
  copyTokenizer(path, false);
  const LanguageModelConfigurationFromHub configuration(path);
  EXPECT_FALSE(configuration.tokenizerConfig());
  EXPECT_FALSE(configuration.modelConfig());
  EXPECT_TRUE(configuration.tokenizerData()["model"]["vocab"].dictionary());
  try {
    orvane::AutoTokenizerWrapper::from(path);
    FAIL() << "no error";
  } catch (const orvane::TokenizerError& error) {
    EXPECT_EQ(error.kind(), orvane::TokenizerError::Case::missingConfig);
  }
}

TEST_F(TokenizerFolderTest, MissingTokenizerFileIsAMissingConfiguration) {
  const fs::path path = folder("empty");
  write(path / "tokenizer_config.json", R"({"tokenizer_class": "WhisperTokenizer"})");
  const LanguageModelConfigurationFromHub configuration(path);
  try {
    configuration.tokenizerData();
    FAIL() << "no error";
  } catch (const HubClientError& error) {
    EXPECT_EQ(error.kind(), HubClientError::Case::configurationMissing);
    EXPECT_EQ(error.errorDescription(), "Required configuration file missing: tokenizer.json");
  }
  // Every reader sees the same outcome.
  EXPECT_THROW(configuration.tokenizerConfig(), HubClientError);
}

TEST_F(TokenizerFolderTest, ChatTemplateFromEitherFile) {
  const fs::path both = folder("both");
  write(both / "tokenizer.json", "{}");
  write(both / "tokenizer_config.json", R"({"chat_template": "old", "tokenizer_class": "X"})");
  write(both / "chat_template.jinja", "{{ jinja }}");
  write(both / "chat_template.json", R"({"chat_template": "from json"})");
  EXPECT_EQ((*LanguageModelConfigurationFromHub(both).tokenizerConfig())["chat_template"].string(),
            "{{ jinja }}");

  const fs::path jsonOnly = folder("json");
  write(jsonOnly / "tokenizer.json", "{}");
  write(jsonOnly / "chat_template.json", R"({"chat_template": "from json"})");
  const auto config = LanguageModelConfigurationFromHub(jsonOnly).tokenizerConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, Config::dictionary({{"chat_template", "from json"}}));

  const fs::path brokenTemplate = folder("broken");
  write(brokenTemplate / "tokenizer.json", "{}");
  write(brokenTemplate / "chat_template.json", "{not json");
  EXPECT_FALSE(LanguageModelConfigurationFromHub(brokenTemplate).tokenizerConfig());
}

TEST_F(TokenizerFolderTest, ModelTypeSuppliesTheTokenizerClass) {
  const fs::path path = folder("typed");
  copyTokenizer(path, false);
  write(path / "tokenizer_config.json", R"({"unk_token": "<|endoftext|>"})");
  write(path / "config.json", R"({"model_type": "whisper"})");
  const LanguageModelConfigurationFromHub configuration(path);
  EXPECT_EQ(configuration.modelType(), "whisper");
  EXPECT_EQ((*configuration.tokenizerConfig())["tokenizer_class"].string(), "WhisperTokenizer");
  EXPECT_EQ(orvane::AutoTokenizerWrapper::from(path).convertTokenToId("<|startoftranscript|>"),
            50258);
}

TEST(TokenizerNames, OneRepositoryPerVariant) {
  const std::pair<ModelVariant, const char*> cases[] = {
      {ModelVariant::tiny, "openai/whisper-tiny"},
      {ModelVariant::tinyEn, "openai/whisper-tiny.en"},
      {ModelVariant::base, "openai/whisper-base"},
      {ModelVariant::baseEn, "openai/whisper-base.en"},
      {ModelVariant::small, "openai/whisper-small"},
      {ModelVariant::smallEn, "openai/whisper-small.en"},
      {ModelVariant::medium, "openai/whisper-medium"},
      {ModelVariant::mediumEn, "openai/whisper-medium.en"},
      {ModelVariant::large, "openai/whisper-large"},
      {ModelVariant::largev2, "openai/whisper-large-v2"},
      {ModelVariant::largev3, "openai/whisper-large-v3"},
  };
  for (const auto& [variant, name] : cases) {
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(variant), name);
  }
}

TEST_F(TokenizerFolderTest, LoadTokenizerSearchesTheFoldersInOrder) {
  const fs::path base = folder("base");
  const fs::path model = folder("model");
  copyTokenizer(model / "models" / "openai/whisper-tiny");
  captureLogs();
  const auto tokenizer = ModelUtilities::loadTokenizer(
      ModelVariant::tiny, base, {model, model / "models" / "openai/whisper-tiny"}, false,
      [](const std::string&, const fs::path&) -> orvane::TokenizerWrapper {
        throw std::runtime_error("the hub must not be asked");
      });
  const auto* wrapper = dynamic_cast<const WhisperTokenizerWrapper*>(tokenizer.get());
  ASSERT_NE(wrapper, nullptr);
  EXPECT_EQ(*wrapper->tokenizerFolder(), model / "models" / "openai/whisper-tiny");
  EXPECT_EQ(tokenizer->specialTokens().timeTokenBegin, 50364);

  const fs::path hubFolder = base / "models" / "openai/whisper-tiny";
  const fs::path found = model / "models" / "openai/whisper-tiny";
  const std::vector<std::string> expected{
      "Checking for local tokenizer at " + (hubFolder / "tokenizer.json").string() + " - not found",
      "Checking for local tokenizer at " + (base / "tokenizer.json").string() + " - not found",
      "Checking for local tokenizer at " + (model / "tokenizer.json").string() + " - not found",
      "Checking for local tokenizer at " + (found / "tokenizer.json").string() + " - found",
      "Found local tokenizer at " + found.string(),
      "Loading tokenizer from " + found.string(),
  };
  EXPECT_EQ(lines(), expected);
}

TEST_F(TokenizerFolderTest, BrokenLocalTokenizerIsLoggedAndTheHubIsTried) {
  const fs::path base = folder("base");
  const fs::path hubFolder = base / "models" / "openai/whisper-base.en";
  write(hubFolder / "tokenizer.json", "{broken");
  captureLogs();
  std::string askedName;
  fs::path askedFolder;
  const auto tokenizer = ModelUtilities::loadTokenizer(
      ModelVariant::baseEn, base, {}, false,
      [&](const std::string& name, const fs::path& destination) {
        askedName = name;
        askedFolder = destination;
        return orvane::AutoTokenizerWrapper::from(sharedTokenizers / "english");
      });
  EXPECT_EQ(askedName, "openai/whisper-base.en");
  EXPECT_EQ(askedFolder, hubFolder);
  EXPECT_EQ(tokenizer->specialTokens().startOfTranscriptToken, 50257);
  const std::vector<std::string> logged = lines();
  ASSERT_GE(logged.size(), 2u);
  EXPECT_EQ(logged[logged.size() - 2].rfind("Error loading local tokenizer: jsonSerialization(", 0),
            0u)
      << logged[logged.size() - 2];
  EXPECT_EQ(logged.back(), "Downloading tokenizer from Hub at " + hubFolder.string());
}

TEST_F(TokenizerFolderTest, NoTokenizerAnywhereFailsWithTheHubError) {
  const fs::path base = folder("nothing");
  // The hub fallback goes nowhere: nothing listens at that address.
  const testsupport::ScopedEnvironment environment(
      {{"HF_ENDPOINT", "http://127.0.0.1:1"}, {"CI_DISABLE_NETWORK_MONITOR", "1"}});
  captureLogs();
  EXPECT_THROW(ModelUtilities::loadTokenizer(ModelVariant::small, base, {root_ / "absent"}),
               HubClientError);
  const std::vector<std::string> logged = lines();
  EXPECT_NE(std::find(logged.begin(), logged.end(), "No tokenizer found in any local search paths"),
            logged.end());
}

}  // namespace
}  // namespace kestrune

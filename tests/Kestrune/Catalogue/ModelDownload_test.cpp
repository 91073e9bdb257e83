#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/TokenizerLoading.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"
#include "tests/Support/LogCapture.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

const std::string repo = "org/models";
const std::string repoKey = "models/org/models";
const fs::path sharedTokenizers = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers";

// A catalogue whose only group is this machine, whatever it is called.
std::string catalogueFor(const std::string& defaultModel, const Names& supported) {
  return nlohmann::json{{"repoName", "test-models"},
                        {"repoVersion", "1"},
                        {"deviceSupports",
                         {{{"identifiers", {Kestrune::deviceName()}},
                           {"models", {{"default", defaultModel}, {"supported", supported}}}}}}}
      .dump();
}

// Puts every file below `folder` into the repository under `prefix`.
void publish(const hubtest::HubEmulator& hub, const std::string& key, const std::string& prefix,
             const fs::path& folder, const std::set<std::string>& skipped = {}) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = entry.path().lexically_relative(folder).generic_string();
    if (skipped.count(relative)) continue;
    hub.addFile(key, prefix + relative, hubtest::readFile(entry.path()));
  }
}

class ModelDownloadTest : public ::testing::Test {
 protected:
  // The hub client would treat a machine without a default route as
  // offline; the emulator is on loopback either way.
  const hubtest::ScopedEnvironment online{{{"CI_DISABLE_NETWORK_MONITOR", "1"}}};
  hubtest::HubEmulator hub;
  hubtest::TemporaryFolder base;
  std::optional<std::string> downloadBase() const { return base.path().string(); }
  fs::path repoFolder() const { return base.path() / "models" / "org" / "models"; }
};

TEST_F(ModelDownloadTest, CatalogueComesFromTheRepositoryOrFallsBack) {
  const struct {
    const char* name;
    std::optional<std::string> config;
    std::string endpoint;
    std::string repoName;
    std::string logged;
  } cases[] = {
      {"no catalogue", std::nullopt, "", "kestrune-coreml-fallback",
       R"(No config files found matching "config.json" in org/models, using fallback)"},
      {"catalogue", catalogueFor("a", {"a"}), "", "test-models", ""},
      {"broken catalogue", "{\"repoName\": 1}", "", "kestrune-coreml-fallback",
       "Fetch model support config failed with error: "},
      {"unreachable hub", std::nullopt, "http://127.0.0.1:1", "kestrune-coreml-fallback",
       "Fetch model support config failed with error: downloadError("},
  };
  char commit = 'a';
  for (const auto& entry : cases) {
    // Each case is a new commit of the repository, as a changed file would be.
    hub.control({{"commits", {{repoKey, std::string(40, commit++)}}}});
    if (entry.config)
      hub.addFile(repoKey, "config.json", *entry.config);
    else
      hub.removeFile(repoKey, "config.json");
    hub.addFile(repoKey, "openai_whisper-tiny/config.json", "{}");
    const testsupport::LogCapture log;
    const auto config =
        Kestrune::fetchModelSupportConfig(repo, downloadBase(), std::nullopt, "config.json",
                                          entry.endpoint.empty() ? hub.endpoint() : entry.endpoint);
    EXPECT_EQ(config.repoName, entry.repoName) << entry.name;
    if (!entry.logged.empty()) {
      EXPECT_TRUE(log.contains(entry.logged)) << entry.name;
    }
  }
  EXPECT_EQ(Kestrune::recommendedRemoteModels(repo, downloadBase(), std::nullopt, "config.json",
                                              "http://127.0.0.1:1"),
            Kestrune::recommendedModels());
}

TEST_F(ModelDownloadTest, AvailableModelsAreTheDevicesSupportedOnesInSizeOrder) {
  hub.addFile(
      repoKey, "config.json",
      catalogueFor("openai_whisper-small", {"openai_whisper-large-v3", "openai_whisper-small",
                                            "distil-whisper_distil-large-v3", "openai_whisper-tiny",
                                            "openai_whisper-base.en", "openai_whisper-small_216MB",
                                            "openai_whisper-tiny.en"}));
  const struct {
    Names patterns;
    Names expected;
  } cases[] = {
      {{"*"},
       {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base.en",
        "openai_whisper-small", "distil-whisper_distil-large-v3", "openai_whisper-large-v3"}},
      {{"*large*", "*tiny*", "*large-v3"},
       {"openai_whisper-tiny", "openai_whisper-tiny.en", "distil-whisper_distil-large-v3",
        "openai_whisper-large-v3"}},
      {{"*medium*"}, {}},
  };
  for (const auto& entry : cases)
    EXPECT_EQ(Kestrune::fetchAvailableModels(repo, entry.patterns, downloadBase(), std::nullopt,
                                             "config.json", hub.endpoint()),
              entry.expected);
}

TEST_F(ModelDownloadTest, DownloadTakesTheOneFolderOfTheVariant) {
  for (const std::string folder :
       {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "other_base",
        "openai_whisper-small", "openai-whisper-small"})
    hub.addFile(repoKey, folder + "/weights.bin", folder);
  const struct {
    std::string variant;
    std::string folder;  // empty: fails with `error`
    std::string error;
  } cases[] = {
      {"tiny", "openai_whisper-tiny", ""},
      {"tiny.en", "openai_whisper-tiny.en", ""},
      // Two folders end in "base"; the second search keeps the original family's.
      {"base", "openai_whisper-base", ""},
      {"openai_whisper-base", "openai_whisper-base", ""},
      {"medium", "",
       R"x(No models found matching "*openai*medium/*" in Repo(id: "org/models", type: models))x"},
      {"small", "",
       R"x(Multiple models found matching "*openai*small/*" in Repo(id: "org/models", type: models))x"},
  };
  for (const auto& entry : cases) {
    hub.resetLog();
    if (entry.folder.empty()) {
      try {
        Kestrune::download(entry.variant, downloadBase(), false, repo, std::nullopt,
                           hub.endpoint());
        ADD_FAILURE() << entry.variant << ": no error";
      } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Case::modelsUnavailable) << entry.variant;
        EXPECT_EQ(error.message(), entry.error) << entry.variant;
      }
      EXPECT_TRUE(hub.requests("GET", "/resolve/").empty()) << entry.variant;
      continue;
    }
    std::vector<double> fractions;
    const auto location =
        Kestrune::download(entry.variant, downloadBase(), true, repo, std::nullopt, hub.endpoint(),
                           [&](const orvane::TransferProgress& progress) {
                             fractions.push_back(progress.fractionCompleted());
                           });
    EXPECT_EQ(location, repoFolder() / entry.folder) << entry.variant;
    EXPECT_EQ(hubtest::readFile(location / "weights.bin"), entry.folder) << entry.variant;
    for (const auto& get : hub.requests("GET", "/resolve/"))
      EXPECT_NE(get["path"].get<std::string>().find("/" + entry.folder + "/"), std::string::npos)
          << entry.variant << ": only the chosen folder is fetched";
    ASSERT_FALSE(fractions.empty()) << entry.variant;
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0) << entry.variant;
  }
  EXPECT_THROW(
      Kestrune::download("tiny", downloadBase(), false, "org/absent", std::nullopt, hub.endpoint()),
      orvane::HubClientError);
}

TEST_F(ModelDownloadTest, MissingTokenizerIsFetchedFromTheHub) {
  for (const char* name : {"tokenizer.json", "tokenizer_config.json", "config.json"})
    hub.addFile("models/openai/whisper-tiny", name,
                hubtest::readFile(sharedTokenizers / "multilingual" / name));
  hub.addFile("models/openai/whisper-tiny", "model.safetensors", "not wanted");
  const hubtest::ScopedEnvironment environment({{"HF_ENDPOINT", hub.endpoint()}});
  const hubtest::TemporaryFolder elsewhere;
  ::testing::internal::CaptureStdout();
  const auto tokenizer =
      ModelUtilities::loadTokenizer(ModelVariant::tiny, base.path(), {elsewhere.path()});
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(tokenizer);
  EXPECT_EQ(tokenizer->specialTokens().startOfTranscriptToken, 50258);
  EXPECT_FALSE(tokenizer->encode(" And so my fellow Americans").empty());
  const fs::path fetched = base.path() / "models" / "openai" / "whisper-tiny";
  EXPECT_TRUE(fs::exists(fetched / "tokenizer.json"));
  EXPECT_FALSE(fs::exists(fetched / "model.safetensors")) << "only the tokenizer files";

  // Now it is local: no second download.
  hub.resetLog();
  ::testing::internal::CaptureStdout();
  ModelUtilities::loadTokenizer(ModelVariant::tiny, base.path(), {});
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(hub.log().empty());
}

// Engines built without a model folder, from a generated model converted
// once for all cases.
class EngineDownloadTest : public ModelDownloadTest {
 protected:
  static void SetUpTestSuite() {
    converted_ = std::make_unique<hubtest::TemporaryFolder>();
    tools::TestModelDimensions spec;
    spec.tokenizerFolder = sharedTokenizers / "multilingual";
    tools::writeTestCheckpoint(converted_->path() / "checkpoint", spec);
    tools::convertCheckpoint(converted_->path() / "checkpoint", converted_->path() / "model");
  }
  static void TearDownTestSuite() { converted_.reset(); }
  static fs::path convertedModel() { return converted_->path() / "model"; }

  KestruneConfig config() const {
    KestruneConfig made;
    made.downloadBase = base.path().string();
    made.modelRepo = repo;
    made.modelEndpoint = hub.endpoint();
    made.download = true;
    made.load = true;
    return made;
  }
  static void transcribesSpeech(Kestrune& engine) {
    auto audio = AudioProcessor::loadAudioAsFloatArray(KESTRUNE_SHARED_DIR "/audio/jfk.flac");
    audio.resize(32000);
    DecodingOptions options{.language = "en"};
    options.temperatureFallbackCount = 0;
    const auto results = engine.transcribe(audio, options);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->language(), "en");
  }

  static std::unique_ptr<hubtest::TemporaryFolder> converted_;
};

std::unique_ptr<hubtest::TemporaryFolder> EngineDownloadTest::converted_;

TEST_F(EngineDownloadTest, RecommendedModelIsDownloadedLoadedAndTranscribes) {
  hub.addFile(repoKey, "config.json",
              catalogueFor("openai_whisper-small", {"openai_whisper-small"}));
  publish(hub, repoKey, "openai_whisper-small/", convertedModel());
  hub.addFile(repoKey, "openai_whisper-tiny/weights.bin", "another model");

  const auto engine = Kestrune::create(config());
  EXPECT_EQ(engine->modelFolder(), repoFolder() / "openai_whisper-small");
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
  EXPECT_FALSE(fs::exists(repoFolder() / "openai_whisper-tiny"));
  EXPECT_TRUE(hub.requests("HEAD", "openai/whisper").empty())
      << "the tokenizer came with the model";
  transcribesSpeech(*engine);
}

TEST_F(EngineDownloadTest, NamedModelWithoutTokenizerFetchesTheTokenizerToo) {
  publish(hub, repoKey, "openai_whisper-tiny/", convertedModel(),
          {"tokenizer.json", "tokenizer_config.json"});
  // The generated model's dimensions make it the base variant.
  for (const char* name : {"tokenizer.json", "tokenizer_config.json", "config.json"})
    hub.addFile("models/openai/whisper-base", name,
                hubtest::readFile(sharedTokenizers / "multilingual" / name));
  const hubtest::ScopedEnvironment environment({{"HF_ENDPOINT", hub.endpoint()}});

  auto made = config();
  made.model = "tiny";
  ::testing::internal::CaptureStdout();
  const auto engine = Kestrune::create(made);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(engine->modelFolder(), repoFolder() / "openai_whisper-tiny");
  EXPECT_EQ(engine->modelVariant(), ModelVariant::base);
  EXPECT_TRUE(fs::exists(base.path() / "models" / "openai" / "whisper-base" / "tokenizer.json"));
  transcribesSpeech(*engine);
}

TEST_F(EngineDownloadTest, MissingModelIsModelNotFound) {
  hub.addFile(repoKey, "README.md", "no models yet");
  auto made = config();
  made.model = "large-v3";
  try {
    Kestrune::create(made);
    FAIL() << "expected an error";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.message(),
              "Model not found. Please check the model or repo name and try again.\nError: "
              R"x(modelsUnavailable("No models found matching \"*openai*large-v3/*\" in )x"
              R"x(Repo(id: \"org/models\", type: models)"))x");
  }
}

}  // namespace
}  // namespace kestrune

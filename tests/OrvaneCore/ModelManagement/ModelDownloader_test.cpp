#include "OrvaneCore/ModelDownloader.hpp"

#include <gtest/gtest.h>

#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"
#include "tests/Support/LogCapture.hpp"

namespace {

using namespace orvane;
namespace fs = std::filesystem;
using hubtest::readFile;

const std::string repoKey = "models/org/models";

// A repository of two encoder versions, each a compiled model folder, and a
// decoder.
class ModelDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hub.addFile(repoKey, "encoder/v1/base/Encoder.mlmodelc/weights.bin", "v1 weights");
    hub.addFile(repoKey, "encoder/v2/base/Encoder.mlmodelc/weights.bin", "v2 weights");
    hub.addFile(repoKey, "encoder/v2/base/Encoder.mlmodelc/model.mil", "v2 program");
    hub.addFile(repoKey, "decoder/v2/base/Decoder.mlmodelc/weights.bin", "decoder");
  }

  ModelDownloader downloader() const {
    return ModelDownloader(ModelDownloadConfig{.downloadBase = base.path().string(),
                                               .modelRepo = "org/models",
                                               .modelToken = std::nullopt,
                                               .modelFolder = std::nullopt,
                                               .useBackgroundSession = false,
                                               .endpoint = hub.endpoint(),
                                               .revision = "main"});
  }
  fs::path repoFolder() const { return base.path() / "models" / "org" / "models"; }
  size_t transfers() const { return hub.requests("GET", "/resolve/").size(); }

  // The hub client would treat a machine without a default route as
  // offline; the emulator is on loopback either way.
  const hubtest::ScopedEnvironment online{{{"CI_DISABLE_NETWORK_MONITOR", "1"}}};
  hubtest::HubEmulator hub;
  hubtest::TemporaryFolder base;
  const ModelInfo encoderV2{"v2", std::nullopt, "encoder", platform::ml::MLComputeUnits::all};
};

TEST_F(ModelDownloaderTest, DownloadModelFetchesOnlyThePatternsFiles) {
  const auto folder = downloader().downloadModel(encoderV2);
  EXPECT_EQ(folder, repoFolder() / "encoder" / "v2");
  EXPECT_EQ(readFile(folder / "base" / "Encoder.mlmodelc" / "model.mil"), "v2 program");
  EXPECT_FALSE(fs::exists(repoFolder() / "encoder" / "v1"));
  EXPECT_FALSE(fs::exists(repoFolder() / "decoder"));
  EXPECT_EQ(transfers(), 2u);

  const ModelInfo missing{"v9", std::nullopt, "encoder", platform::ml::MLComputeUnits::all};
  try {
    downloader().downloadModel(missing);
    FAIL() << "expected an error";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.errorDescription(),
              R"(No models found matching "encoder/v9/*/*" in org/models)");
  }
  // Offline, the local copy stands in for the listing.
  hub.resetLog();
  EXPECT_EQ(downloader().downloadModel(encoderV2, std::nullopt, true), folder);
  EXPECT_TRUE(hub.log().empty());
  try {
    downloader().downloadModel(missing, std::nullopt, true);
    FAIL() << "expected an error";
  } catch (const EnvironmentError& error) {
    EXPECT_EQ(error.kind(), EnvironmentError::Case::offlineModeError);
  }
}

TEST_F(ModelDownloaderTest, ResolveModelLooksInTheFolderThenTheCacheThenTheHub) {
  const testsupport::LogCapture log;
  const ModelInfo encoderBase{"v2", "base", "encoder", platform::ml::MLComputeUnits::all};
  const hubtest::TemporaryFolder given;
  fs::create_directories(given.path() / "Encoder.mlmodelc");

  EXPECT_EQ(downloader().resolveModel("Encoder", encoderBase, given.path()),
            given.path() / "Encoder.mlmodelc");
  EXPECT_TRUE(log.contains("[ModelDownloader] Found Encoder in model folder"));
  try {
    downloader().resolveModel("Encoder", encoderBase, std::nullopt, std::nullopt, false);
    FAIL() << "expected an error";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.errorDescription(), "No model found for Encoder (download disabled)");
  }
  EXPECT_TRUE(hub.log().empty()) << "nothing asked of the hub so far";

  std::vector<std::pair<ModelState, ModelState>> states;
  const auto downloaded = downloader().resolveModel(
      "Encoder", encoderBase, std::nullopt, std::nullopt, true,
      [&](ModelState from, ModelState to) { states.emplace_back(from, to); });
  EXPECT_EQ(downloaded, repoFolder() / "encoder" / "v2" / "base" / "Encoder.mlmodelc");
  EXPECT_EQ(states.size(), 2u);
  EXPECT_EQ(states.back().second, ModelState::downloaded);
  EXPECT_TRUE(log.contains("[ModelDownloader] Downloaded Encoder"));

  hub.resetLog();
  EXPECT_EQ(downloader().resolveModelPath("Encoder", encoderBase), downloaded.string());
  EXPECT_TRUE(log.contains("[ModelDownloader] Found existing Encoder in cache"));
  EXPECT_TRUE(hub.log().empty());

  // Downloaded, but the files hold no model of that name.
  try {
    downloader().resolveModel("Decoder", encoderBase);
    FAIL() << "expected an error";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.errorDescription(), "No model found for Decoder");
  }
}

TEST_F(ModelDownloaderTest, ResolveRepoUsesAValidLocalCopyAndRefetchesABrokenOne) {
  const std::vector<std::string> patterns{"encoder/v2/*", "decoder/*"};
  try {
    downloader().resolveRepo(patterns, std::nullopt, false);
    FAIL() << "expected an error";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.errorDescription(),
              "No valid local models found for repo 'org/models' and download is disabled.");
  }
  std::vector<double> fractions;
  const auto folder = downloader().resolveRepo(
      patterns, std::nullopt, true,
      [&](const TransferProgress& progress) { fractions.push_back(progress.fractionCompleted()); });
  EXPECT_EQ(folder, repoFolder());
  EXPECT_EQ(transfers(), 3u);
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);

  hub.resetLog();
  {
    const testsupport::LogCapture log;
    EXPECT_EQ(downloader().resolveRepo(patterns, std::nullopt, false), folder);
    EXPECT_TRUE(log.contains("[ModelDownloader] Found valid local cache at " + folder.string()));
  }
  EXPECT_TRUE(hub.log().empty()) << "a valid copy needs no hub";

  // A file without its record fails the offline check: fetched again.
  fs::remove(folder / ".cache" / "huggingface" / "download" / "decoder" / "v2" / "base" /
             "Decoder.mlmodelc" / "weights.bin.metadata");
  const testsupport::LogCapture log;
  EXPECT_EQ(downloader().resolveRepo(patterns), folder);
  EXPECT_TRUE(log.contains("[ModelDownloader] Local cache for 'org/models' didn't validate ("));
  EXPECT_EQ(transfers(), 1u) << "only the file whose record was lost";
  EXPECT_EQ(downloader().fetchFilenames({"decoder/*"}),
            std::vector<std::string>{"decoder/v2/base/Decoder.mlmodelc/weights.bin"});
  EXPECT_EQ(downloader().localRepoLocation(), repoFolder());
}

}  // namespace

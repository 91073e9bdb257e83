#include "OrvaneCore/ModelManager.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "OrvaneCore/OrvaneCoreError.hpp"
#include "tests/Support/LogCapture.hpp"

namespace {

using namespace orvane;
using Change = std::pair<ModelState, ModelState>;

// A loader that records what the manager asks of it.
class RecordingLoader : public ModelLoader {
 public:
  std::optional<std::string> folder;
  std::string resolvedPath = "/resolved/models";
  bool failResolve = false;
  bool failLoad = false;
  std::chrono::milliseconds loadTime{0};
  std::atomic<int> resolves = 0;
  std::atomic<int> loads = 0;
  std::atomic<int> unloads = 0;
  std::vector<std::pair<std::string, bool>> loadCalls;

  std::optional<std::string> modelFolder() const override { return folder; }
  std::string resolveModels(const ModelDownloader&, const ModelDownloadProgressCallback&) override {
    ++resolves;
    if (failResolve) throw std::runtime_error("hub unreachable");
    return resolvedPath;
  }
  void load(const std::string& path, bool prewarm) override {
    std::this_thread::sleep_for(loadTime);
    ++loads;
    loadCalls.emplace_back(path, prewarm);
    if (failLoad) throw std::runtime_error("bad model");
  }
  void unload() override { ++unloads; }
};

class ModelManagerTest : public ::testing::Test {
 protected:
  ModelManagerTest()
      : loader(std::make_shared<RecordingLoader>()),
        manager(loader, std::make_shared<ModelDownloader>("http://127.0.0.1:1", "org/models")) {
    manager.setModelStateCallback(
        [this](ModelState from, ModelState to) { changes.emplace_back(from, to); });
  }

  std::shared_ptr<RecordingLoader> loader;
  ModelManager manager;
  std::vector<Change> changes;
};

TEST_F(ModelManagerTest, GivenFolderGoesThroughPrewarmLoadAndUnload) {
  loader->folder = "/models/here";
  manager.prewarmModels();
  EXPECT_EQ(changes, (std::vector<Change>{{ModelState::unloaded, ModelState::downloaded},
                                          {ModelState::downloaded, ModelState::prewarming},
                                          {ModelState::prewarming, ModelState::prewarmed}}));
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/here"));
  EXPECT_EQ(loader->resolves, 0) << "a given folder is not downloaded";
  EXPECT_FALSE(manager.isAvailable());

  changes.clear();
  manager.prewarmModels();
  EXPECT_TRUE(changes.empty()) << "already prewarmed";
  manager.loadModels();
  manager.loadModels();
  EXPECT_EQ(changes, (std::vector<Change>{{ModelState::prewarmed, ModelState::loading},
                                          {ModelState::loading, ModelState::loaded}}));
  EXPECT_TRUE(manager.isLoaded());
  EXPECT_EQ(loader->loadCalls, (std::vector<std::pair<std::string, bool>>{
                                   {"/models/here", true}, {"/models/here", false}}));

  changes.clear();
  manager.unloadModels();
  EXPECT_EQ(changes, (std::vector<Change>{{ModelState::loaded, ModelState::unloading},
                                          {ModelState::unloading, ModelState::unloaded}}));
  EXPECT_EQ(loader->unloads, 1);
}

TEST_F(ModelManagerTest, DownloadsThroughTheLoaderOnce) {
  const testsupport::LogCapture log;
  manager.loadModels();
  EXPECT_EQ(changes, (std::vector<Change>{{ModelState::unloaded, ModelState::downloading},
                                          {ModelState::downloading, ModelState::downloaded},
                                          {ModelState::downloaded, ModelState::loading},
                                          {ModelState::loading, ModelState::loaded}}));
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/resolved/models"));
  EXPECT_EQ(loader->loadCalls.front().first, "/resolved/models");
  manager.downloadModels();
  EXPECT_EQ(loader->resolves, 1);
  EXPECT_TRUE(log.contains("[ModelManager] Models downloaded to /resolved/models"));
  EXPECT_TRUE(
      log.contains("[ModelManager] Models already downloaded (state: Loaded), skipping download"));
}

TEST_F(ModelManagerTest, StatesThatCannotStartAStepAreRefused) {
  const struct {
    const char* name;
    ModelState state;
    bool withFolder;
    bool prewarm;
    std::string message;
  } cases[] = {
      {"load while loading", ModelState::loading, true, false, "Cannot load in state: Loading"},
      {"load while unloading", ModelState::unloading, true, false,
       "Cannot load in state: Unloading"},
      {"prewarm when loaded", ModelState::loaded, true, true, "Cannot prewarm in state: Loaded"},
      {"prewarm while prewarming", ModelState::prewarming, true, true,
       "Cannot prewarm in state: Specializing"},
      {"no path anywhere", ModelState::downloaded, false, false,
       "No model path available. Call downloadModels() first, or provide modelFolder."},
  };
  for (const auto& entry : cases) {
    auto caseLoader = std::make_shared<RecordingLoader>();
    if (entry.withFolder) caseLoader->folder = "/models/here";
    ModelManager fresh(caseLoader, std::make_shared<ModelDownloader>("", "org/models"));
    fresh.setModelState(entry.state);
    try {
      entry.prewarm ? fresh.prewarmModels() : fresh.loadModels();
      ADD_FAILURE() << entry.name << ": no error";
    } catch (const OrvaneCoreError& error) {
      EXPECT_EQ(error.kind(), OrvaneCoreError::Case::invalidConfiguration) << entry.name;
      EXPECT_EQ(error.message(), entry.message) << entry.name;
    }
    EXPECT_EQ(fresh.modelState(), entry.state) << entry.name << ": state untouched";
    EXPECT_EQ(caseLoader->loads, 0) << entry.name;
  }
}

TEST_F(ModelManagerTest, FailedStepsReturnToUnloadedAndRaise) {
  const struct {
    const char* name;
    bool failResolve;
    bool failLoad;
    bool prewarm;
    std::string logged;
  } cases[] = {
      {"download", true, false, false, "[ModelManager] Failed to download models: hub unreachable"},
      {"prewarm", false, true, true, "[ModelManager] Failed to prewarm models: bad model"},
      {"load", false, true, false, "[ModelManager] Failed to load models: bad model"},
  };
  for (const auto& entry : cases) {
    const testsupport::LogCapture log(Logging::LogLevel::error);
    auto caseLoader = std::make_shared<RecordingLoader>();
    caseLoader->failResolve = entry.failResolve;
    caseLoader->failLoad = entry.failLoad;
    ModelManager fresh(caseLoader, std::make_shared<ModelDownloader>("", "org/models"));
    EXPECT_THROW(entry.prewarm ? fresh.prewarmModels() : fresh.loadModels(), std::runtime_error)
        << entry.name;
    EXPECT_EQ(fresh.modelState(), ModelState::unloaded) << entry.name;
    EXPECT_TRUE(log.contains(entry.logged)) << entry.name;
  }
}

TEST_F(ModelManagerTest, ConcurrentEnsureCallsShareOneLoad) {
  loader->loadTime = std::chrono::milliseconds(300);
  std::vector<std::thread> callers;
  std::atomic<int> failures = 0;
  for (int i = 0; i < 3; ++i)
    callers.emplace_back([&] {
      try {
        manager.ensureModelsLoaded();
      } catch (...) {
        ++failures;
      }
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(loader->loads, 1);
  EXPECT_EQ(loader->resolves, 1);
  EXPECT_TRUE(manager.isLoaded());
  manager.ensureModelsLoaded();
  EXPECT_EQ(loader->loads, 1);

  // A failing shared load reaches every caller, and the next call tries anew.
  auto failing = std::make_shared<RecordingLoader>();
  failing->failLoad = true;
  failing->loadTime = std::chrono::milliseconds(300);
  ModelManager other(failing, std::make_shared<ModelDownloader>("", "org/models"));
  failures = 0;
  callers.clear();
  for (int i = 0; i < 2; ++i)
    callers.emplace_back([&] {
      try {
        other.ensureModelsLoaded();
      } catch (const std::runtime_error&) {
        ++failures;
      }
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures, 2);
  EXPECT_EQ(failing->loads, 1);
  EXPECT_THROW(other.ensureModelsLoaded(), std::runtime_error);
  EXPECT_EQ(failing->loads, 2);
}

TEST(ModelInfoTest, PatternsNamesAndFolders) {
  using platform::ml::MLComputeUnits;
  const struct {
    ModelInfo info;
    std::string pattern, description, debug, url;
  } cases[] = {
      {{std::nullopt, "v2", "encoder", MLComputeUnits::cpuAndNeuralEngine},
       "encoder/*/v2/*",
       "encoder/v2",
       "ModelInfo(name: encoder, version: nil, variant: v2, computeUnit: cpuAndNeuralEngine)",
       "/base/encoder/v2"},
      {{"1.0", std::nullopt, "decoder", MLComputeUnits::cpuOnly},
       "decoder/1.0/*/*",
       "decoder/1.0",
       "ModelInfo(name: decoder, version: 1.0, variant: nil, computeUnit: cpuOnly)",
       "/base/decoder/1.0"},
      {{"1", "fp16", "vad", MLComputeUnits::all},
       "vad/1/fp16/*",
       "vad/1/fp16",
       "ModelInfo(name: vad, version: 1, variant: fp16, computeUnit: all)",
       "/base/vad/1/fp16"},
  };
  for (const auto& entry : cases) {
    EXPECT_EQ(entry.info.downloadPattern(), entry.pattern);
    EXPECT_EQ(entry.info.description(), entry.description);
    EXPECT_EQ(entry.info.debugDescription(), entry.debug);
    EXPECT_EQ(entry.info.modelURL("/base"), std::filesystem::path(entry.url));
  }
  const ModelInfo encoder{std::nullopt, "v2", "encoder", MLComputeUnits::all};
  EXPECT_EQ(encoder.findBaseFolder("/cache/repo/encoder/v2/Model.mlmodelc"),
            std::filesystem::path("/cache/repo"));
  EXPECT_EQ(encoder.findBaseFolder("/cache/encoder"), std::filesystem::path("/cache"));
  EXPECT_EQ(encoder.findBaseFolder("/cache/decoder/v2"), std::nullopt);
}

}  // namespace

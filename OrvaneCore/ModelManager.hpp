#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneCore/ModelDownloader.hpp"
#include "OrvaneCore/ModelState.hpp"

namespace orvane {

// The model-specific half of a ModelManager, supplied by its user.
class ModelLoader {
 public:
  virtual ~ModelLoader() = default;
  // A folder to use as it is instead of downloading.
  virtual std::optional<std::string> modelFolder() const = 0;
  // Fetches the models; returns their folder.
  virtual std::string resolveModels(const ModelDownloader& downloader,
                                    const ModelDownloadProgressCallback& progressCallback) = 0;
  virtual void load(const std::string& path, bool prewarm) = 0;
  virtual void unload() = 0;
};

// Merges concurrent load requests into one: whoever comes while a load runs
// waits for that load and shares its outcome.
class LoadModelsCoordinator {
 public:
  void run(const std::function<void()>& operation);

 private:
  std::mutex mutex_;
  std::optional<std::shared_future<void>> inflightLoad_;
};

// Drives a set of models through download, prewarm, load and unload:
// unloaded → downloading → downloaded → (prewarming → prewarmed →) loading →
// loaded, and back to unloaded through unloading. A failed step returns to
// unloaded.
class ModelManager {
 public:
  using StateCallback = std::function<void(ModelState, ModelState)>;

  ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
  virtual ~ModelManager() = default;
  ModelManager(const ModelManager&) = delete;
  ModelManager& operator=(const ModelManager&) = delete;

  ModelState modelState() const;
  // A change is told to the callback; setting the same state is not.
  void setModelState(ModelState state);
  void setModelStateCallback(StateCallback callback);
  std::optional<std::filesystem::path> modelPath() const;
  const ModelDownloader& downloader() const { return *downloader_; }
  ModelLoader& loader() const { return *loader_; }

  void downloadModels(const ModelDownloadProgressCallback& progressCallback = {});
  // Both download first when nothing is downloaded yet. They raise
  // OrvaneCoreError.invalidConfiguration in a state they cannot start from.
  void prewarmModels();
  void loadModels();
  // Downloads and loads unless loaded; concurrent callers share one load.
  void ensureModelsLoaded();
  void unloadModels();

  bool isAvailable() const;  // loading, loaded or downloaded
  bool isLoaded() const;
  std::optional<std::filesystem::path> modelFolder() const;

 protected:
  // Starts every log line, between square brackets.
  virtual std::string loggerName() const { return "ModelManager"; }

 private:
  std::string prefix() const { return "[" + loggerName(); }
  std::filesystem::path pathForLoading();

  mutable std::mutex mutex_;
  ModelState modelState_ = ModelState::unloaded;
  StateCallback modelStateCallback_;
  std::optional<std::filesystem::path> modelPath_;
  std::shared_ptr<ModelDownloader> downloader_;
  std::shared_ptr<ModelLoader> loader_;
  LoadModelsCoordinator coordinator_;
};

}  // namespace orvane

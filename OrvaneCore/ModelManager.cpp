#include "OrvaneCore/ModelManager.hpp"

#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/OrvaneCoreError.hpp"

namespace orvane {

namespace fs = std::filesystem;

void LoadModelsCoordinator::run(const std::function<void()>& operation) {
  std::unique_lock lock(mutex_);
  if (inflightLoad_) {
    const std::shared_future<void> running = *inflightLoad_;
    lock.unlock();
    running.get();
    return;
  }
  std::promise<void> outcome;
  inflightLoad_ = outcome.get_future().share();
  lock.unlock();
  std::exception_ptr failure;
  try {
    operation();
  } catch (...) {
    failure = std::current_exception();
  }
  // Cleared before the waiters wake, so that a later call starts afresh.
  lock.lock();
  inflightLoad_.reset();
  lock.unlock();
  if (failure) {
    outcome.set_exception(failure);
    std::rethrow_exception(failure);
  }
  outcome.set_value();
}

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader,
                           std::shared_ptr<ModelDownloader> downloader)
    : downloader_(std::move(downloader)), loader_(std::move(loader)) {}

ModelState ModelManager::modelState() const {
  std::lock_guard guard(mutex_);
  return modelState_;
}

void ModelManager::setModelState(ModelState state) {
  StateCallback callback;
  ModelState previous;
  {
    std::lock_guard guard(mutex_);
    previous = modelState_;
    if (previous == state) return;
    modelState_ = state;
    callback = modelStateCallback_;
  }
  // Called outside the lock: a callback may read the manager.
  if (callback) callback(previous, state);
}

void ModelManager::setModelStateCallback(StateCallback callback) {
  std::lock_guard guard(mutex_);
  modelStateCallback_ = std::move(callback);
}

std::optional<fs::path> ModelManager::modelPath() const {
  std::lock_guard guard(mutex_);
  return modelPath_;
}

bool ModelManager::isAvailable() const {
  const ModelState state = modelState();
  return state == ModelState::loading || state == ModelState::loaded ||
         state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const {
  return modelState() == ModelState::loaded;
}

std::optional<fs::path> ModelManager::modelFolder() const {
  if (const auto folder = loader_->modelFolder()) return fs::path(*folder);
  return std::nullopt;
}

void ModelManager::downloadModels(const ModelDownloadProgressCallback& progressCallback) {
  const ModelState state = modelState();
  if (state != ModelState::unloaded) {
    Logging::debug(prefix() + "] Models already downloaded (state: " +
                   std::string(description(state)) + "), skipping download");
    return;
  }
  if (const auto folder = modelFolder()) {
    Logging::debug(prefix() + "] modelFolder is set, skipping download");
    {
      std::lock_guard guard(mutex_);
      modelPath_ = *folder;
    }
    setModelState(ModelState::downloaded);
    return;
  }
  Logging::info(prefix() + "] Starting download process...");
  setModelState(ModelState::downloading);
  std::string path;
  try {
    path = loader_->resolveModels(*downloader_, progressCallback);
  } catch (const std::exception& error) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "] Failed to download models: " + errorText(error));
    throw;
  }
  {
    std::lock_guard guard(mutex_);
    modelPath_ = fs::path(path);
  }
  setModelState(ModelState::downloaded);
  Logging::info(prefix() + "] Models downloaded to " + path);
}

fs::path ModelManager::pathForLoading() {
  if (modelState() == ModelState::unloaded) downloadModels();
  if (auto path = modelPath()) return *path;
  if (auto folder = modelFolder()) return *folder;
  throw OrvaneCoreError::invalidConfiguration(
      "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::prewarmModels() {
  const fs::path path = pathForLoading();
  const ModelState state = modelState();
  if (state == ModelState::prewarmed) {
    Logging::debug(prefix() + "] Models already prewarmed, skipping");
    return;
  }
  if (state != ModelState::downloaded)
    throw OrvaneCoreError::invalidConfiguration("Cannot prewarm in state: " +
                                                std::string(description(state)));
  setModelState(ModelState::prewarming);
  try {
    loader_->load(path.string(), true);
  } catch (const std::exception& error) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "] Failed to prewarm models: " + errorText(error));
    throw;
  }
  setModelState(ModelState::prewarmed);
  Logging::info(prefix() + "] Models prewarmed successfully");
}

void ModelManager::loadModels() {
  const fs::path path = pathForLoading();
  const ModelState state = modelState();
  if (state == ModelState::loaded) {
    Logging::debug(prefix() + "] Models already loaded, skipping");
    return;
  }
  if (state != ModelState::prewarmed && state != ModelState::downloaded)
    throw OrvaneCoreError::invalidConfiguration("Cannot load in state: " +
                                                std::string(description(state)));
  setModelState(ModelState::loading);
  try {
    loader_->load(path.string(), false);
  } catch (const std::exception& error) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "] Failed to load models: " + errorText(error));
    throw;
  }
  setModelState(ModelState::loaded);
  Logging::info(prefix() + "] Models loaded successfully");
}

void ModelManager::ensureModelsLoaded() {
  if (isLoaded()) return;
  coordinator_.run([this] {
    if (isLoaded()) return;
    downloadModels();
    loadModels();
  });
}

void ModelManager::unloadModels() {
  setModelState(ModelState::unloading);
  loader_->unload();
  setModelState(ModelState::unloaded);
}

}  // namespace orvane

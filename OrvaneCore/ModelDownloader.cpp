#include "OrvaneCore/ModelDownloader.hpp"

#include "OrvaneCore/HubWrapper.hpp"
#include "OrvaneCore/Logging.hpp"

namespace orvane {

namespace fs = std::filesystem;

namespace {

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

bool hasWildcard(const std::string& component) {
  return component.find_first_of("*?[") != std::string::npos;
}

// Whether the folder holds at least one file of the repository; the hub
// client's own bookkeeping below ".cache" does not count.
bool holdsFiles(const fs::path& folder) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory() && it->path().filename() == ".cache") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) return true;
  }
  return false;
}

}  // namespace

std::string ModelInfo::downloadPattern() const {
  return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::string ModelInfo::description() const {
  std::string text = name;
  if (version) text += "/" + *version;
  if (variant) text += "/" + *variant;
  return text;
}

std::string ModelInfo::debugDescription() const {
  return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") +
         ", variant: " + variant.value_or("nil") +
         ", computeUnit: " + std::string(platform::ml::computeUnitsName(computeUnits)) + ")";
}

fs::path ModelInfo::modelURL(const fs::path& baseURL) const {
  fs::path url = baseURL / name;
  if (version) url /= *version;
  if (variant) url /= *variant;
  return url;
}

std::optional<fs::path> ModelInfo::findBaseFolder(const fs::path& url) const {
  fs::path current = url;
  while (std::distance(current.begin(), current.end()) >= 2) {
    if (current.filename() == name) return current.parent_path();
    current = current.parent_path();
  }
  return std::nullopt;
}

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName,
                                 std::optional<std::string> modelToken, std::string revision,
                                 bool useBackgroundSession)
    : config_{.downloadBase = std::nullopt,
              .modelRepo = std::move(repoName),
              .modelToken = std::move(modelToken),
              .modelFolder = std::nullopt,
              .useBackgroundSession = useBackgroundSession,
              .endpoint = std::move(endpoint),
              .revision = std::move(revision)} {}

HubApi ModelDownloader::hub(const std::optional<fs::path>& downloadBase) const {
  std::optional<fs::path> base = downloadBase;
  if (!base && config_.downloadBase) base = fs::path(*config_.downloadBase);
  const std::optional<std::string> endpoint =
      config_.endpoint.empty() ? std::nullopt : std::optional(config_.endpoint);
  return HubApiWrapper(base, config_.modelToken, endpoint, config_.useBackgroundSession).impl;
}

fs::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                        const std::optional<fs::path>& downloadBase,
                                        std::optional<bool> useOfflineMode) const {
  HubApi api = hub(downloadBase);
  if (useOfflineMode) api.useOfflineMode = useOfflineMode;
  const std::string pattern = modelInfo.downloadPattern();
  const bool offline = api.isOffline();
  // Offline there is no listing to ask; the snapshot checks the local copy.
  if (!offline) {
    Logging::debug("[ModelDownloader] Searching for models matching " + inQuotes(pattern) + " in " +
                   config_.modelRepo);
    if (api.getFilenames(repo(), config_.revision, {pattern}).empty())
      throw ModelDownloaderError::modelUnavailable("No models found matching " + inQuotes(pattern) +
                                                   " in " + config_.modelRepo);
  }
  Logging::debug("[ModelDownloader] Downloading model " + pattern +
                 " with offline mode: " + textForm(offline));
  const fs::path folder = api.snapshot(repo(), config_.revision, {pattern});
  return modelInfo.modelURL(folder);
}

fs::path ModelDownloader::resolveModel(
    const std::string& name, const ModelInfo& modelInfo, const std::optional<fs::path>& modelFolder,
    const std::optional<fs::path>& downloadBase, bool download,
    const ModelDownloaderStateCallback& modelStateCallback) const {
  if (modelFolder) {
    if (auto found = modelURLIfExists(*modelFolder, name)) {
      Logging::debug("[ModelDownloader] Found " + name + " in model folder");
      return *found;
    }
  }
  if (auto cached = modelURLIfExists(modelInfo.modelURL(localRepoLocation(downloadBase)), name)) {
    Logging::debug("[ModelDownloader] Found existing " + name + " in cache");
    return *cached;
  }
  if (!download)
    throw ModelDownloaderError::modelUnavailable("No model found for " + name +
                                                 " (download disabled)");
  const auto tell = [&](ModelState from, ModelState to) {
    if (modelStateCallback) modelStateCallback(from, to);
  };
  tell(ModelState::unloaded, ModelState::downloading);
  fs::path folder;
  try {
    folder = downloadModel(modelInfo, downloadBase);
  } catch (...) {
    tell(ModelState::downloading, ModelState::unloaded);
    throw;
  }
  tell(ModelState::downloading, ModelState::downloaded);
  Logging::debug("[ModelDownloader] Downloaded " + name);
  if (auto found = modelURLIfExists(folder, name)) return *found;
  throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

std::string ModelDownloader::resolveModelPath(
    const std::string& name, const ModelInfo& modelInfo, const std::optional<fs::path>& modelFolder,
    const std::optional<fs::path>& downloadBase, bool download,
    const ModelDownloaderStateCallback& modelStateCallback) const {
  return resolveModel(name, modelInfo, modelFolder, downloadBase, download, modelStateCallback)
      .string();
}

bool ModelDownloader::hasLocalFiles(const fs::path& repoFolder,
                                    const std::vector<std::string>& patterns) const {
  if (patterns.empty()) return holdsFiles(repoFolder);
  for (const auto& pattern : patterns) {
    // The part of the pattern before its first wildcard component names a
    // place on disk that must hold something.
    fs::path place = repoFolder;
    for (const auto& component : fs::path(pattern)) {
      if (hasWildcard(component.string())) break;
      place /= component;
    }
    std::error_code error;
    if (fs::is_regular_file(place, error)) continue;
    if (!fs::is_directory(place, error) || !holdsFiles(place)) return false;
  }
  return true;
}

fs::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<fs::path>& downloadBase, bool download,
                                      const ModelDownloadProgressCallback& progressCallback) const {
  HubApi api = hub(downloadBase);
  const fs::path local = api.localRepoLocation(repo());
  if (hasLocalFiles(local, patterns)) {
    HubApi offline = api;
    offline.useOfflineMode = true;
    try {
      const fs::path folder = offline.snapshot(repo(), config_.revision, patterns);
      Logging::debug("[ModelDownloader] Found valid local cache at " + folder.string());
      return folder;
    } catch (const std::exception& error) {
      Logging::debug("[ModelDownloader] Local cache for '" + config_.modelRepo +
                     "' didn't validate (" + errorText(error) + "); re-resolving.");
    }
  }
  if (!download)
    throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" +
                                                 config_.modelRepo + "' and download is disabled.");
  Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) +
                " model(s) from " + config_.modelRepo + "...");
  const fs::path folder = api.snapshot(repo(), config_.revision, patterns, progressCallback);
  Logging::info("[ModelDownloader] Download complete: " + folder.string());
  return folder;
}

std::vector<std::string> ModelDownloader::fetchFilenames(
    const std::vector<std::string>& matching, const std::optional<fs::path>& downloadBase) const {
  return hub(downloadBase).getFilenames(repo(), config_.revision, matching);
}

fs::path ModelDownloader::localRepoLocation(const std::optional<fs::path>& downloadBase) const {
  return hub(downloadBase).localRepoLocation(repo());
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder,
                                                          const std::string& name) {
  const fs::path compiled = folder / (name + ".mlmodelc");
  if (pathExists(compiled)) return compiled;
  const fs::path package =
      folder / (name + ".mlpackage") / "Data" / "com.apple.CoreML" / "model.mlmodel";
  if (pathExists(package)) return package;
  return std::nullopt;
}

}  // namespace orvane

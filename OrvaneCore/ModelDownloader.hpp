#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/External/Hub/HubApi.hpp"
#include "OrvaneCore/ModelState.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "Platform/ML/MLComputeUnits.hpp"

namespace orvane {

// Where the models of one repository come from and go to.
struct ModelDownloadConfig {
  std::optional<std::string> downloadBase;  // folder; absent: the hub client's default
  std::string modelRepo;                    // repository id
  std::optional<std::string> modelToken;
  std::optional<std::string> modelFolder;
  bool useBackgroundSession = false;
  std::string endpoint;  // empty: HF_ENDPOINT, else the default hub
  std::string revision = "main";
};

class ModelDownloaderError : public TypedError {
 public:
  enum class Case { modelUnavailable };

  static ModelDownloaderError modelUnavailable(std::string message) {
    return ModelDownloaderError(std::move(message));
  }

  Case kind() const noexcept { return Case::modelUnavailable; }
  const std::string& message() const noexcept { return message_; }
  std::string errorDescription() const override { return message_; }

 private:
  explicit ModelDownloaderError(std::string message)
      : TypedError("modelUnavailable", {debugQuoted(message)}), message_(std::move(message)) {}
  std::string message_;
};

// One model of a repository, laid out as <name>[/<version>][/<variant>].
struct ModelInfo {
  std::optional<std::string> version;
  std::optional<std::string> variant;
  std::string name;
  platform::ml::MLComputeUnits computeUnits = platform::ml::MLComputeUnits::all;

  // name/(version or *)/(variant or *)/*
  std::string downloadPattern() const;
  // The present parts joined with "/": "encoder/v2".
  std::string description() const;
  std::string debugDescription() const;
  std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
  // The parent of the nearest folder named `name` on the way up from `url`.
  std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

// Called with the overall progress of a download.
using ModelDownloadProgressCallback = SnapshotProgressHandler;
using ModelDownloaderStateCallback = std::function<void(ModelState, ModelState)>;

// Finds models in a folder, in the hub client's cache of the repository, or
// on the hub.
class ModelDownloader {
 public:
  explicit ModelDownloader(ModelDownloadConfig config);
  ModelDownloader(std::string endpoint, std::string repoName,
                  std::optional<std::string> modelToken = std::nullopt,
                  std::string revision = "main", bool useBackgroundSession = false);
  virtual ~ModelDownloader() = default;

  const ModelDownloadConfig& config() const noexcept { return config_; }
  Repo repo() const { return Repo{config_.modelRepo, RepoType::models}; }

  // Fetches the files of `modelInfo` and returns the model's folder in the
  // local copy. Offline (asked for, or no network) the local copy is checked
  // instead of listing the repository.
  virtual std::filesystem::path downloadModel(
      const ModelInfo& modelInfo,
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
      std::optional<bool> useOfflineMode = std::nullopt) const;

  // The model file `name` (a compiled model or a package's model file): from
  // `modelFolder`, else the local cache, else downloaded when `download` is
  // set. The callback sees downloading and downloaded around a download.
  virtual std::filesystem::path resolveModel(
      const std::string& name, const ModelInfo& modelInfo,
      const std::optional<std::filesystem::path>& modelFolder = std::nullopt,
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt, bool download = true,
      const ModelDownloaderStateCallback& modelStateCallback = {}) const;
  std::string resolveModelPath(
      const std::string& name, const ModelInfo& modelInfo,
      const std::optional<std::filesystem::path>& modelFolder = std::nullopt,
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt, bool download = true,
      const ModelDownloaderStateCallback& modelStateCallback = {}) const;

  // The local copy of the repository's files matching `patterns`: a copy
  // that passes the offline check is used as it is, else (when allowed) a
  // snapshot is taken.
  virtual std::filesystem::path resolveRepo(
      const std::vector<std::string>& patterns,
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt, bool download = true,
      const ModelDownloadProgressCallback& progressCallback = {}) const;

  std::vector<std::string> fetchFilenames(
      const std::vector<std::string>& matching,
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt) const;
  std::filesystem::path localRepoLocation(
      const std::optional<std::filesystem::path>& downloadBase = std::nullopt) const;

  // <folder>/<name>.mlmodelc, or the model file of <folder>/<name>.mlpackage
  // when only that exists; nothing when neither does.
  static std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                               const std::string& name);

 protected:
  HubApi hub(const std::optional<std::filesystem::path>& downloadBase) const;

 private:
  bool hasLocalFiles(const std::filesystem::path& repoFolder,
                     const std::vector<std::string>& patterns) const;

  ModelDownloadConfig config_;
};

}  // namespace orvane

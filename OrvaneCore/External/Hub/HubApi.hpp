#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneCore/External/Hub/Hub.hpp"
#include "OrvaneCore/External/Hub/TransferProgress.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "Platform/Net/HttpClient.hpp"
#include "Platform/Net/NetworkMonitor.hpp"

namespace orvane {

// What a HEAD request tells about a remote file.
struct FileMetadata {
  std::optional<std::string> commitHash;
  std::optional<std::string> etag;
  std::string location;
  std::optional<int64_t> size;
};

// What is recorded next to a downloaded file.
struct LocalDownloadFileMetadata {
  std::string commitHash;
  std::string etag;
  std::string filename;
  std::chrono::system_clock::time_point timestamp;
};

class EnvironmentError : public TypedError {
 public:
  enum class Case { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

  static EnvironmentError invalidMetadataError(std::string message);
  static EnvironmentError offlineModeError(std::string message);
  static EnvironmentError fileIntegrityError(std::string message);
  static EnvironmentError fileWriteError(std::string message);

  Case kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  std::string errorDescription() const override;

 private:
  EnvironmentError(Case kind, std::string name, std::string message);
  Case kind_;
  std::string message_;
};

// Called with the overall progress of a snapshot.
using SnapshotProgressHandler = std::function<void(const TransferProgress&)>;

// The hub client's settings and its work: listing a repository, fetching the
// files that match into the local copy, and checking that copy offline.
struct HubApi {
  std::filesystem::path downloadBase;
  std::optional<std::string> hfToken;
  std::string endpoint;
  bool useBackgroundSession = false;
  // None: the network monitor decides.
  std::optional<bool> useOfflineMode;
  platform::net::NetworkMonitor* networkMonitor = nullptr;
  std::string sha256Pattern = "^[0-9a-f]{64}$";
  std::string commitHashPattern = "^[0-9a-f]{40}$";

  bool isOffline() const;
  std::filesystem::path localRepoLocation(const Repo& repo) const;
  std::filesystem::path metadataLocation(const Repo& repo) const;
  std::string filesListAddress(const Repo& repo, const std::string& revision) const;
  std::string fileAddress(const Repo& repo, const std::string& revision,
                          const std::string& relativeFilename) const;

  // Every file of the repository when `globs` is empty, else those matching
  // any pattern.
  std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                        const std::vector<std::string>& globs) const;
  std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                 const std::vector<std::string>& globs,
                                 const SnapshotProgressHandler& progressHandler = {}) const;

  std::pair<std::string, platform::net::HttpResponse> httpGet(const std::string& url) const;
  platform::net::HttpResponse httpHead(const std::string& url) const;
  FileMetadata getFileMetadata(const std::string& url) const;

  std::optional<LocalDownloadFileMetadata> readDownloadMetadata(
      const std::filesystem::path& metadataPath) const;
  void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                             const std::filesystem::path& metadataPath) const;
  static std::string computeFileHash(const std::filesystem::path& file);

 private:
  std::filesystem::path offlineSnapshot(const Repo& repo,
                                        const std::vector<std::string>& globs) const;
};

// Removes a weak marker "W/" and the double quotes around an entity tag.
std::string normalizedEtag(std::string etag);

// One file of one snapshot.
struct HubFileDownloader {
  HubApi hub;
  Repo repo;
  std::string revision;
  std::filesystem::path repoDestination;
  std::filesystem::path repoMetadataDestination;
  std::string relativeFilename;
  std::optional<std::string> hfToken;
  std::optional<std::string> endpoint;
  bool backgroundSession = false;

  std::filesystem::path destination() const { return repoDestination / relativeFilename; }
  std::filesystem::path metadataPath() const {
    return repoMetadataDestination / (relativeFilename + ".metadata");
  }
  // Fetches the file unless the local copy is current; the handler gets the
  // transfer's fraction and speed. Returns the local path.
  std::filesystem::path download(
      const std::function<void(double, std::optional<double>)>& progressHandler) const;
};

}  // namespace orvane

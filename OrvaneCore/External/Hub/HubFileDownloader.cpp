#include <chrono>
#include <fstream>
#include <regex>

#include "OrvaneCore/External/Hub/Downloader.hpp"
#include "OrvaneCore/External/Hub/HubApi.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace orvane {
namespace fs = std::filesystem;

namespace {

constexpr int64_t chunkSize = 10485760;
constexpr double transferTimeout = 10;
constexpr int transferRetries = 5;
constexpr auto pollInterval = std::chrono::milliseconds(100);

// Creates the partial file (and its folders) when it is not there yet.
void preparePartialFile(const fs::path& path) {
  fs::create_directories(path.parent_path());
  if (fs::exists(path)) return;
  std::ofstream create(path, std::ios::binary);
  if (!create)
    throw fs::filesystem_error("cannot create file", path,
                               std::make_error_code(std::errc::io_error));
}

// Follows the downloader's states until it completes or fails. Cancelling
// this thread's task cancels the transfer, which then ends with a failure.
void await(Downloader& downloader, DownloadStream& states,
           const std::function<void(double, std::optional<double>)>& progressHandler) {
  bool cancelRequested = false;
  while (true) {
    if (!cancelRequested && Task::isCancelled()) {
      cancelRequested = true;
      downloader.cancel();
    }
    const auto state = states.next(pollInterval);
    if (!state) continue;
    if (const auto* downloading = std::get_if<Downloading>(&*state)) {
      if (progressHandler) progressHandler(downloading->progress, downloading->speed);
    } else if (const auto* failed = std::get_if<Failed>(&*state)) {
      std::rethrow_exception(failed->error);
    } else if (std::holds_alternative<Completed>(*state)) {
      return;
    }
  }
}

}  // namespace

fs::path HubFileDownloader::download(
    const std::function<void(double, std::optional<double>)>& progressHandler) const {
  const auto local = hub.readDownloadMetadata(metadataPath());
  const std::string address = hub.fileAddress(repo, revision, relativeFilename);
  const auto remote = hub.getFileMetadata(address);
  const fs::path target = destination();
  const bool present = fs::exists(target);

  if (remote.commitHash &&
      std::regex_match(*remote.commitHash, std::regex(hub.commitHashPattern)) && present && local &&
      local->commitHash == *remote.commitHash)
    return target;

  if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty())
    throw EnvironmentError::invalidMetadataError(
        "File metadata must have been retrieved from server");

  if (present) {
    const bool sameTag = local && local->etag == *remote.etag;
    if (sameTag || (std::regex_match(*remote.etag, std::regex(hub.sha256Pattern)) &&
                    HubApi::computeFileHash(target) == *remote.etag)) {
      hub.writeDownloadMetadata(*remote.commitHash, *remote.etag, metadataPath());
      return target;
    }
  }

  const fs::path partial =
      repoMetadataDestination / (relativeFilename + "." + *remote.etag + ".incomplete");
  preparePartialFile(partial);
  Downloader downloader(target, partial, backgroundSession, chunkSize);
  const auto states =
      downloader.download(address, hfToken && !hfToken->empty() ? hfToken : std::nullopt,
                          std::nullopt, remote.size, transferTimeout, transferRetries);
  await(downloader, *states, progressHandler);
  hub.writeDownloadMetadata(*remote.commitHash, *remote.etag, metadataPath());
  return target;
}

}  // namespace orvane

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/External/Hub/HubApi.hpp"

namespace orvane {

// Where the hub client goes when neither the caller nor HF_ENDPOINT names
// an address.
inline constexpr std::string_view defaultHubEndpoint = "https://huggingface.co";

// The token of the environment: HF_TOKEN, HUGGING_FACE_HUB_TOKEN, the file
// named by HF_TOKEN_PATH, $HF_HOME/token, ~/.cache/huggingface/token and
// ~/.huggingface/token, the first that gives a non-empty text. A file's
// content is taken whole, a trailing line feed included.
std::optional<std::string> tokenFromEnvironment();

// The face of the hub client that the rest of the system uses.
struct HubApiWrapper {
  HubApi impl;

  // Absent arguments come from the environment: the download base is
  // ~/Documents/huggingface, the token as above, the endpoint HF_ENDPOINT or
  // the default one.
  explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                         std::optional<std::string> hfToken = std::nullopt,
                         std::optional<std::string> endpoint = std::nullopt,
                         bool useBackgroundSession = false);

  // The process-wide client, made on first use from the environment.
  static const HubApiWrapper& shared();

  std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                 const std::vector<std::string>& matching,
                                 const SnapshotProgressHandler& progressHandler = {}) const {
    return impl.snapshot(repo, revision, matching, progressHandler);
  }
  std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                        const std::vector<std::string>& matching) const {
    return impl.getFilenames(repo, revision, matching);
  }
  std::filesystem::path localRepoLocation(const Repo& repo) const {
    return impl.localRepoLocation(repo);
  }
};

}  // namespace orvane

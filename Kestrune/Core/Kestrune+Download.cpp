// The engine's device catalogue and model download, through the hub client.
#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/ConcurrencyUtilities.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "OrvaneCore/HubWrapper.hpp"
#include "OrvaneCore/Logging.hpp"

namespace kestrune {

namespace fs = std::filesystem;
using orvane::Logging;

namespace {

constexpr const char* revision = "main";

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

std::string listNotation(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t index = 0; index < items.size(); ++index)
    text += (index > 0 ? ", \"" : "\"") + items[index] + "\"";
  return text + "]";
}

orvane::HubApiWrapper hubClient(const std::optional<std::string>& downloadBase,
                                const std::optional<std::string>& token,
                                const std::string& endpoint, bool useBackgroundSession = false) {
  const std::optional<fs::path> base =
      downloadBase ? std::optional<fs::path>(*downloadBase) : std::nullopt;
  return orvane::HubApiWrapper(
      base, token, endpoint.empty() ? std::nullopt : std::optional(endpoint), useBackgroundSession);
}

std::string readText(const fs::path& path) {
  std::ifstream input(path, std::ios::binary);
  if (!input) throw orvane::HubClientError::fileNotFound(path.filename().string());
  std::ostringstream content;
  content << input.rdbuf();
  return content.str();
}

// The readable message of an error: our kinds' description, else what().
std::string localizedDescription(const std::exception& error) {
  if (const auto* typed = dynamic_cast<const orvane::TypedError*>(&error))
    return typed->errorDescription();
  return error.what();
}

// The distinct first path components of the repository files matching
// `glob`, in listing order.
std::vector<std::string> modelFolders(const orvane::HubApiWrapper& hub, const orvane::Repo& repo,
                                      const std::string& glob) {
  Logging::debug("Searching for models matching " + inQuotes(glob) + " in " + repo.description());
  std::vector<std::string> folders;
  for (const auto& name : hub.getFilenames(repo, revision, {glob})) {
    const std::string folder = name.substr(0, name.find('/'));
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  return folders;
}

}  // namespace

ModelSupport Kestrune::recommendedModels() {
  const std::string device = deviceName();
  Logging::debug("Running on " + device);
  return fallbackModelSupportConfig().modelSupport(device);
}

ModelSupportConfig Kestrune::fetchModelSupportConfig(const std::string& repo,
                                                     const std::optional<std::string>& downloadBase,
                                                     const std::optional<std::string>& token,
                                                     const std::string& remoteConfigName,
                                                     const std::string& endpoint) {
  try {
    const auto hub = hubClient(downloadBase, token, endpoint);
    const orvane::Repo record{repo, orvane::RepoType::models};
    Logging::debug("Searching for config file matching " + inQuotes(remoteConfigName) + " in " +
                   repo);
    const auto files = hub.getFilenames(record, revision, {remoteConfigName});
    if (files.empty()) {
      Logging::info("No config files found matching " + inQuotes(remoteConfigName) + " in " + repo +
                    ", using fallback");
      return fallbackModelSupportConfig();
    }
    if (files.size() > 1)
      Logging::info("Multiple config files found (" + std::to_string(files.size()) +
                    "): " + listNotation(files) + ". Using first matching file: " + files.front());
    const fs::path folder = hub.snapshot(record, revision, {files.front()});
    return nlohmann::json::parse(readText(folder / files.front())).get<ModelSupportConfig>();
  } catch (const std::exception& error) {
    Logging::error("Fetch model support config failed with error: " + orvane::errorText(error));
    return fallbackModelSupportConfig();
  }
}

ModelSupport Kestrune::recommendedRemoteModels(const std::string& repo,
                                               const std::optional<std::string>& downloadBase,
                                               const std::optional<std::string>& token,
                                               const std::string& remoteConfigName,
                                               const std::string& endpoint) {
  return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint)
      .modelSupport(deviceName());
}

std::vector<std::string> Kestrune::fetchAvailableModels(
    const std::string& repo, const std::vector<std::string>& matching,
    const std::optional<std::string>& downloadBase, const std::optional<std::string>& token,
    const std::string& remoteConfigName, const std::string& endpoint) {
  const ModelSupport support =
      recommendedRemoteModels(repo, downloadBase, token, remoteConfigName, endpoint);
  std::vector<std::string> found;
  for (const auto& glob : matching)
    for (auto& name : orvane::matching(support.supported, glob))
      if (std::find(found.begin(), found.end(), name) == found.end())
        found.push_back(std::move(name));
  return ModelUtilities::formatModelFiles(found);
}

fs::path Kestrune::download(const std::string& variant,
                            const std::optional<std::string>& downloadBase,
                            bool useBackgroundSession, const std::string& repo,
                            const std::optional<std::string>& token, const std::string& endpoint,
                            const DownloadProgressCallback& progressCallback) {
  try {
    const auto hub = hubClient(downloadBase, token, endpoint, useBackgroundSession);
    const orvane::Repo record{repo, orvane::RepoType::models};
    std::string glob = "*" + variant + "/*";
    auto folders = modelFolders(hub, record, glob);
    if (folders.size() != 1) {
      Logging::debug("Multiple models found matching " + inQuotes(glob));
      // A bare size ("base") also ends other families' names; the
      // original family's folder is the one meant.
      glob = "*openai*" + variant + "/*";
      folders = modelFolders(hub, record, glob);
      if (folders.size() != 1)
        throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                              " models found matching " + inQuotes(glob) + " in " +
                                              record.description());
    }
    Logging::debug("Downloading model " + folders.front() + "...");
    const fs::path location = hub.snapshot(record, revision, {glob}, progressCallback);
    return location / folders.front();
  } catch (const std::exception& error) {
    Logging::debug(localizedDescription(error));
    throw;
  }
}

}  // namespace kestrune

#include "OrvaneCore/External/Hub/HubApi.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <unordered_set>

#include "OrvaneCore/ConcurrencyUtilities.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TaskCancellation.hpp"
#include "Platform/Net/NetworkError.hpp"
#include "Platform/Net/Sha256.hpp"

namespace orvane {
namespace fs = std::filesystem;
namespace net = platform::net;

namespace {

constexpr double requestTimeout = 60;
constexpr int maxRelativeRedirects = 20;

bool matchesPattern(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

std::string withoutTrailingSlash(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

// Escapes each component of a slash-separated path, keeping the slashes.
std::string escapedPath(const std::string& path) {
  std::string escaped;
  size_t start = 0;
  while (true) {
    const auto slash = path.find('/', start);
    escaped += net::escapePathComponent(path.substr(start, slash - start));
    if (slash == std::string::npos) break;
    escaped += '/';
    start = slash + 1;
  }
  return escaped;
}

std::string lastPathComponent(const std::string& url) {
  std::string path = url;
  if (const auto parts = net::parseAbsoluteURL(url)) path = parts->path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Raises the hub client error of a failed status.
[[noreturn]] void raiseStatus(int status, const std::string& url) {
  if (status == 401 || status == 403) throw HubClientError::authorizationRequired();
  if (status == 404) throw HubClientError::fileNotFound(lastPathComponent(url));
  throw HubClientError::httpStatusCode(status);
}

// Runs a request, turning transport failures into hub client errors.
template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const HubClientError&) {
    throw;
  } catch (const std::exception& error) {
    throw HubClientError::downloadError(error.what());
  }
}

std::optional<int64_t> decimal(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  int64_t value = 0;
  const auto* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<double> decimalNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

std::string trimmedLine(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n\v\f");
  return std::string(text.substr(first, last - first + 1));
}

// Line breaks of any kind cut the text, as the metadata may come from
// another platform.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

std::string readWholeFile(const fs::path& path) {
  std::ifstream input(path, std::ios::binary);
  if (!input)
    throw fs::filesystem_error("cannot read file", path, std::make_error_code(std::errc::io_error));
  std::ostringstream content;
  content << input.rdbuf();
  return content.str();
}

// Writes next to the target first so that readers never see half a file.
void writeAtomically(const fs::path& path, const std::string& content) {
  fs::path temporary = path;
  temporary += ".writing";
  {
    std::ofstream output(temporary, std::ios::binary | std::ios::trunc);
    output << content;
    output.close();
    if (!output)
      throw fs::filesystem_error("cannot write file", temporary,
                                 std::make_error_code(std::errc::io_error));
  }
  fs::rename(temporary, path);
}

std::string describe(const std::exception& error) {
  if (const auto* typed = dynamic_cast<const TypedError*>(&error)) return typed->errorDescription();
  return error.what();
}

std::vector<std::string> matchingAny(const std::vector<std::string>& names,
                                     const std::vector<std::string>& globs) {
  if (globs.empty()) return names;
  std::unordered_set<std::string> matched;
  for (const auto& glob : globs)
    for (auto& name : matching(names, glob)) matched.insert(std::move(name));
  std::vector<std::string> result;
  for (const auto& name : names)
    if (matched.erase(name) > 0) result.push_back(name);
  return result;
}

}  // namespace

EnvironmentError::EnvironmentError(Case kind, std::string name, std::string message)
    : TypedError(std::move(name), {debugQuoted(message)}),
      kind_(kind),
      message_(std::move(message)) {}

EnvironmentError EnvironmentError::invalidMetadataError(std::string message) {
  return {Case::invalidMetadataError, "invalidMetadataError", std::move(message)};
}
EnvironmentError EnvironmentError::offlineModeError(std::string message) {
  return {Case::offlineModeError, "offlineModeError", std::move(message)};
}
EnvironmentError EnvironmentError::fileIntegrityError(std::string message) {
  return {Case::fileIntegrityError, "fileIntegrityError", std::move(message)};
}
EnvironmentError EnvironmentError::fileWriteError(std::string message) {
  return {Case::fileWriteError, "fileWriteError", std::move(message)};
}

std::string EnvironmentError::errorDescription() const {
  switch (kind_) {
    case Case::invalidMetadataError: return "Invalid metadata: " + message_;
    case Case::offlineModeError: return "Offline mode error: " + message_;
    case Case::fileIntegrityError: return "File integrity check failed: " + message_;
    case Case::fileWriteError: return "Failed to write file: " + message_;
  }
  return message_;
}

std::string normalizedEtag(std::string etag) {
  if (etag.starts_with("W/")) etag.erase(0, 2);
  while (!etag.empty() && etag.front() == '"') etag.erase(0, 1);
  while (!etag.empty() && etag.back() == '"') etag.pop_back();
  return etag;
}

bool HubApi::isOffline() const {
  if (useOfflineMode) return *useOfflineMode;
  if (const char* flag = std::getenv("CI_DISABLE_NETWORK_MONITOR");
      flag != nullptr && std::string_view(flag) == "1")
    return false;
  return networkMonitor != nullptr && !networkMonitor->isConnected();
}

fs::path HubApi::localRepoLocation(const Repo& repo) const {
  return downloadBase / std::string(text(repo.type)) / repo.id;
}

fs::path HubApi::metadataLocation(const Repo& repo) const {
  return localRepoLocation(repo) / ".cache" / "huggingface" / "download";
}

std::string HubApi::filesListAddress(const Repo& repo, const std::string& revision) const {
  return withoutTrailingSlash(endpoint) + "/api/" + std::string(text(repo.type)) + "/" +
         escapedPath(repo.id) + "/revision/" + net::escapePathComponent(revision);
}

std::string HubApi::fileAddress(const Repo& repo, const std::string& revision,
                                const std::string& relativeFilename) const {
  std::string address = withoutTrailingSlash(endpoint);
  if (repo.type != RepoType::models) address += "/" + std::string(text(repo.type));
  return address + "/" + escapedPath(repo.id) + "/resolve/" + net::escapePathComponent(revision) +
         "/" + escapedPath(relativeFilename);
}

std::pair<std::string, net::HttpResponse> HubApi::httpGet(const std::string& url) const {
  return guarded([&] {
    net::HttpRequest request;
    request.url = url;
    request.timeoutSeconds = requestTimeout;
    if (hfToken && !hfToken->empty())
      net::setHeader(request.headers, "Authorization", "Bearer " + *hfToken);
    auto response = net::HttpClient::send(request);
    if (response.statusCode == 0) throw HubClientError::unexpectedError();
    if (response.statusCode < 200 || response.statusCode > 299)
      raiseStatus(response.statusCode, url);
    std::string body = std::move(response.body);
    return std::pair{std::move(body), std::move(response)};
  });
}

net::HttpResponse HubApi::httpHead(const std::string& url) const {
  return guarded([&] {
    net::HttpRequest request;
    request.method = "HEAD";
    request.url = url;
    request.timeoutSeconds = requestTimeout;
    request.followRedirects = false;
    if (hfToken && !hfToken->empty())
      net::setHeader(request.headers, "Authorization", "Bearer " + *hfToken);
    net::setHeader(request.headers, "Accept-Encoding", "identity");
    net::HttpResponse response;
    for (int hop = 0;; ++hop) {
      response = net::HttpClient::send(request);
      if (response.url.empty()) response.url = request.url;
      const auto location = response.header("Location");
      const bool redirect = response.statusCode >= 300 && response.statusCode <= 399;
      // A redirect to another host (a content server) is the answer itself:
      // its headers describe the file. Only a same-host move is followed.
      if (!redirect || !location || net::parseAbsoluteURL(*location) || hop >= maxRelativeRedirects)
        break;
      const auto next = net::resolveReference(request.url, *location);
      if (!next) break;
      request.url = *next;
      net::setHeader(request.headers, "Location", *next);
    }
    if (response.statusCode == 0) throw HubClientError::unexpectedError();
    if (response.statusCode < 200 || response.statusCode > 399)
      raiseStatus(response.statusCode, url);
    return response;
  });
}

FileMetadata HubApi::getFileMetadata(const std::string& url) const {
  const auto response = httpHead(url);
  FileMetadata metadata;
  const auto location = response.header("Location");
  if (response.statusCode == 302 && location)
    metadata.location = *location;
  else
    metadata.location = response.url.empty() ? url : response.url;
  metadata.commitHash = response.header("X-Repo-Commit");
  auto etag = response.header("X-Linked-Etag");
  if (!etag) etag = response.header("ETag");
  if (etag) metadata.etag = normalizedEtag(*etag);
  auto size = decimal(response.header("X-Linked-Size"));
  if (!response.header("X-Linked-Size")) size = decimal(response.header("Content-Length"));
  metadata.size = size;
  return metadata;
}

std::optional<LocalDownloadFileMetadata> HubApi::readDownloadMetadata(
    const fs::path& metadataPath) const {
  std::error_code existsError;
  if (!fs::exists(metadataPath, existsError)) return std::nullopt;
  try {
    const auto parts = linesOf(readWholeFile(metadataPath));
    if (parts.size() < 3)
      throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
    const auto seconds = decimalNumber(trimmedLine(parts[2]));
    // The clock counts nanoseconds in 64 bits, about 292 years either side
    // of 1970; a time beyond that (or nan, inf) cannot be a real timestamp.
    constexpr double clockRangeSeconds = 9.2e9;
    if (!seconds || !(std::fabs(*seconds) < clockRangeSeconds))
      throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
    std::string filename = metadataPath.filename().string();
    if (filename.ends_with(".metadata")) filename.resize(filename.size() - 9);
    const auto since = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(*seconds));
    return LocalDownloadFileMetadata{trimmedLine(parts[0]), trimmedLine(parts[1]),
                                     std::move(filename),
                                     std::chrono::system_clock::time_point(since)};
  } catch (const EnvironmentError& error) {
    Logging::error("Invalid metadata file " + metadataPath.string() + ": " +
                   error.errorDescription() + ". Removing it from disk and continuing.");
  } catch (const std::exception& error) {
    Logging::error("Error reading metadata file " + metadataPath.string() + ": " + error.what() +
                   ". Removing it from disk and continuing.");
  }
  std::error_code removeError;
  fs::remove(metadataPath, removeError);
  if (removeError)
    throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                 removeError.message());
  return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const fs::path& metadataPath) const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  char number[64];
  const auto written = std::to_chars(number, number + sizeof number, seconds);
  const std::string content =
      commitHash + "\n" + etag + "\n" + std::string(number, written.ptr) + "\n";
  try {
    fs::create_directories(metadataPath.parent_path());
    writeAtomically(metadataPath, content);
  } catch (const std::exception& error) {
    throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() +
                                           ": " + describe(error));
  }
}

std::string HubApi::computeFileHash(const fs::path& file) {
  return net::fileSha256Hex(file);
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs) const {
  const auto [body, response] = httpGet(filesListAddress(repo, revision));
  std::vector<std::string> names;
  try {
    const auto json = nlohmann::json::parse(body);
    for (const auto& sibling : json.at("siblings"))
      names.push_back(sibling.at("rfilename").get<std::string>());
  } catch (const nlohmann::json::exception&) {
    throw HubClientError::parse();
  }
  return matchingAny(names, globs);
}

fs::path HubApi::offlineSnapshot(const Repo& repo, const std::vector<std::string>& globs) const {
  const fs::path repoDestination = localRepoLocation(repo);
  std::error_code error;
  if (!fs::is_directory(repoDestination, error))
    throw EnvironmentError::offlineModeError("Repository not available locally");
  const fs::path root = fs::weakly_canonical(repoDestination);
  const fs::path bookkeeping = root / ".cache" / "huggingface";
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    // The client's own metadata and partial files are not repository files.
    if (it->is_directory() && it->path() == bookkeeping) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    // The walk starts at the resolved folder, so each entry's own path is
    // already below it; a linked file keeps its name, not its target's.
    files.push_back(it->path().lexically_relative(root).generic_string());
  }
  if (files.empty())
    throw EnvironmentError::offlineModeError("No files available locally for this repository");
  const auto kept = matchingAny(files, globs);
  if (kept.empty())
    throw EnvironmentError::offlineModeError(
        "No files matching the requested patterns are available locally");
  const fs::path metadataFolder = metadataLocation(repo);
  for (const auto& relative : kept) {
    const auto record = readDownloadMetadata(metadataFolder / (relative + ".metadata"));
    if (!record) throw EnvironmentError::offlineModeError("Metadata not available for " + relative);
    if (matchesPattern(record->etag, sha256Pattern) &&
        computeFileHash(repoDestination / relative) != record->etag)
      throw EnvironmentError::fileIntegrityError("Hash mismatch for " + relative);
  }
  return repoDestination;
}

fs::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                          const std::vector<std::string>& globs,
                          const SnapshotProgressHandler& progressHandler) const {
  if (isOffline()) return offlineSnapshot(repo, globs);
  const fs::path repoDestination = localRepoLocation(repo);
  const fs::path repoMetadataDestination = metadataLocation(repo);
  const auto names = getFilenames(repo, revision, globs);
  const auto progress = TransferProgress::make(static_cast<int64_t>(names.size()));
  auto report = [&] {
    if (progressHandler) progressHandler(*progress);
  };
  for (const auto& name : names) {
    const auto child = TransferProgress::make(100);
    progress->addChild(child, 1);
    const HubFileDownloader downloader{
        *this, repo,    revision, repoDestination,     repoMetadataDestination,
        name,  hfToken, endpoint, useBackgroundSession};
    downloader.download([&](double fraction, std::optional<double> speed) {
      child->setCompletedUnitCount(static_cast<int64_t>(fraction * 100));
      if (speed) {
        child->setThroughput(speed);
        progress->setThroughput(speed);
      }
      report();
    });
    if (Task::isCancelled()) break;
    child->setCompletedUnitCount(100);
  }
  report();
  return repoDestination;
}

}  // namespace orvane

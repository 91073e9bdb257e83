#include "OrvaneCore/External/Hub/Downloader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "OrvaneCore/Logging.hpp"
#include "Platform/Net/NetworkError.hpp"

namespace orvane {
namespace fs = std::filesystem;
using platform::net::NetworkError;

namespace {

constexpr int retriesAfterProgress = 5;
constexpr size_t stagingSize = 16384;
constexpr auto retryPause = std::chrono::seconds(1);

void noteForegroundOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    Logging::info(
        "Background transfers are not available on this platform; downloading in the "
        "foreground");
  });
}

// Sleeps for `pause` unless the flag is raised first.
void pauseUnlessCancelled(const std::atomic<bool>& cancelled, std::chrono::milliseconds pause) {
  const auto until = std::chrono::steady_clock::now() + pause;
  while (!cancelled.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

std::string DownloadError::errorDescription() const {
  return "The operation couldn't be completed. (DownloadError error " +
         std::to_string(static_cast<int>(kind_)) + ".)";
}

std::optional<int64_t> DownloadResumeState::expectedSize() const {
  std::lock_guard guard(mutex_);
  return expectedSize_;
}
void DownloadResumeState::setExpectedSize(std::optional<int64_t> size) {
  std::lock_guard guard(mutex_);
  expectedSize_ = size;
}
int64_t DownloadResumeState::downloadedSize() const {
  std::lock_guard guard(mutex_);
  return downloadedSize_;
}
void DownloadResumeState::setDownloadedSize(int64_t size) {
  std::lock_guard guard(mutex_);
  downloadedSize_ = size;
}

// The partial file, open for appending.
class Downloader::OutputFile {
 public:
  explicit OutputFile(const fs::path& path) : descriptor_(::open(path.c_str(), O_WRONLY)) {
    if (descriptor_ < 0)
      throw fs::filesystem_error("cannot open file for writing", path, lastError());
    if (::lseek(descriptor_, 0, SEEK_END) < 0) {
      const auto error = lastError();
      ::close(descriptor_);
      throw fs::filesystem_error("cannot seek", path, error);
    }
  }
  ~OutputFile() { close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      const auto written = ::write(descriptor_, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) throw std::system_error(lastError(), "cannot write the partial file");
      bytes.remove_prefix(static_cast<size_t>(written));
    }
  }
  void close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
  }

 private:
  static std::error_code lastError() { return {errno, std::generic_category()}; }
  int descriptor_;
};

Downloader::Downloader(fs::path destination, fs::path incompleteDestination, bool inBackground,
                       int64_t chunkSize)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      chunkSize_(std::max<int64_t>(chunkSize, 1)),
      broadcaster_([] { return DownloadState{NotStarted{}}; }) {
  if (inBackground) noteForegroundOnce();
}

Downloader::~Downloader() {
  stopTask();
}

int64_t Downloader::incompleteFileSize(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : static_cast<int64_t>(size);
}

void Downloader::stopTask() {
  std::shared_ptr<Task> task;
  {
    std::lock_guard guard(mutex_);
    task = std::move(task_);
    if (session_) session_->invalidated = true;
  }
  if (!task) return;
  task->cancelled = true;
  if (task->thread.joinable()) task->thread.join();
}

std::shared_ptr<Downloader::Session> Downloader::currentSession() const {
  std::lock_guard guard(mutex_);
  return session_;
}

std::unique_ptr<DownloadStream> Downloader::download(
    const std::string& url, const std::optional<std::string>& token,
    const std::optional<platform::net::HeaderFields>& headers, std::optional<int64_t> expectedSize,
    double timeout, int numRetries) {
  stopTask();
  downloadResumeState_.setExpectedSize(expectedSize);
  const int64_t resumeSize = incompleteFileSize(incompleteDestination_);
  auto task = std::make_shared<Task>();
  auto stream = broadcaster_.subscribe();
  {
    std::lock_guard guard(mutex_);
    session_ = std::make_shared<Session>();
    task_ = task;
  }
  task->thread = std::thread(
      [=, this] { setUpTransfer(url, token, resumeSize, headers, timeout, numRetries, task); });
  return stream;
}

void Downloader::cancel() {
  {
    std::lock_guard guard(mutex_);
    if (session_) session_->invalidated = true;
    session_.reset();
    if (task_) task_->cancelled = true;
  }
  broadcaster_.broadcast(Failed{std::make_exception_ptr(NetworkError::cancelled())});
}

void Downloader::setUpTransfer(const std::string& url, const std::optional<std::string>& token,
                               int64_t resumeSize,
                               const std::optional<platform::net::HeaderFields>& headers,
                               double timeout, int numRetries, const std::shared_ptr<Task>& task) {
  Request request{{}, &task->cancelled};
  request.http.url = url;
  request.http.timeoutSeconds = timeout;
  if (headers) request.http.headers = *headers;
  if (token) platform::net::setHeader(request.http.headers, "Authorization", "Bearer " + *token);
  downloadResumeState_.setDownloadedSize(resumeSize);
  if (resumeSize >= 1)
    platform::net::setHeader(request.http.headers, "Range",
                             "bytes=" + std::to_string(resumeSize) + "-");
  const auto expected = downloadResumeState_.expectedSize();
  const double start = expected && *expected >= 1
                           ? static_cast<double>(resumeSize) / static_cast<double>(*expected)
                           : 0;
  broadcaster_.broadcast(Downloading{start, std::nullopt});

  std::optional<OutputFile> file;
  try {
    file.emplace(incompleteDestination_);
  } catch (...) {
    broadcaster_.broadcast(Failed{std::current_exception()});
    return;
  }
  std::exception_ptr failure;
  try {
    httpGet(std::move(request), *file, numRetries);
  } catch (...) {
    failure = std::current_exception();
  }
  file->close();
  if (task->cancelled.load() || failure) {
    broadcaster_.broadcast(
        Failed{failure ? failure : std::make_exception_ptr(NetworkError::cancelled())});
    return;
  }
  try {
    moveDownloadedFile(incompleteDestination_, destination_);
    broadcaster_.broadcast(Completed{destination_});
  } catch (...) {
    broadcaster_.broadcast(Failed{std::current_exception()});
  }
}

void Downloader::writeChunk(OutputFile& file, std::string& buffer, int64_t sizeAtStart,
                            std::chrono::steady_clock::time_point start) {
  file.write(buffer);
  const int64_t downloaded =
      downloadResumeState_.downloadedSize() + static_cast<int64_t>(buffer.size());
  downloadResumeState_.setDownloadedSize(downloaded);
  buffer.clear();
  const auto expected = downloadResumeState_.expectedSize();
  if (!expected) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::optional<double> speed;
  if (elapsed > 0) speed = static_cast<double>(downloaded - sizeAtStart) / elapsed;
  const double progress =
      *expected == 0 ? 0 : static_cast<double>(downloaded) / static_cast<double>(*expected);
  broadcaster_.broadcast(Downloading{progress, speed});
}

void Downloader::httpGet(Request request, OutputFile& file, int numRetries) {
  int retriesLeft = numRetries;
  std::string buffer;
  buffer.reserve(static_cast<size_t>(std::min<int64_t>(chunkSize_, 64 << 20)));
  while (true) {
    const auto session = currentSession();
    if (!session || session->invalidated.load()) throw DownloadError::unexpectedError();
    const int64_t downloaded = downloadResumeState_.downloadedSize();
    if (downloaded > 0)
      platform::net::setHeader(request.http.headers, "Range",
                               "bytes=" + std::to_string(downloaded) + "-");
    const auto start = std::chrono::steady_clock::now();
    buffer.clear();
    platform::net::StreamHandlers handlers;
    handlers.onResponse = [](const platform::net::HttpResponse& response) {
      if (response.statusCode < 200 || response.statusCode > 299)
        throw DownloadError::unexpectedError();
      return true;
    };
    // Pieces pass through a staging buffer of fixed size, so the chunk
    // buffer grows in whole stagings and chunks land on predictable offsets.
    std::string staging;
    staging.reserve(stagingSize);
    handlers.onData = [&](std::string_view piece) {
      while (!piece.empty()) {
        const size_t taken = std::min(piece.size(), stagingSize - staging.size());
        staging.append(piece.substr(0, taken));
        piece.remove_prefix(taken);
        if (staging.size() < stagingSize) break;
        buffer.append(staging);
        staging.clear();
        if (static_cast<int64_t>(buffer.size()) >= chunkSize_) {
          writeChunk(file, buffer, downloaded, start);
          retriesLeft = retriesAfterProgress;
        }
      }
    };
    try {
      const auto response =
          platform::net::HttpClient::stream(request.http, handlers, request.taskCancelled);
      // A head without a body never reached onResponse's check.
      if (response.statusCode < 200 || response.statusCode > 299)
        throw DownloadError::unexpectedError();
      buffer.append(staging);
      if (!buffer.empty()) writeChunk(file, buffer, downloaded, start);
      return;
    } catch (const NetworkError& error) {
      if (error.isCancelled() || retriesLeft <= 0) throw;
      Logging::debug("Download interrupted:", std::string(error.what()), "- retrying,", retriesLeft,
                     "retries left");
    }
    pauseUnlessCancelled(*request.taskCancelled, retryPause);
    if (request.taskCancelled->load()) throw NetworkError::cancelled();
    {
      std::lock_guard guard(mutex_);
      if (!session_ || session_->invalidated.load()) throw DownloadError::unexpectedError();
      session_ = std::make_shared<Session>();
    }
    --retriesLeft;
  }
}

void moveDownloadedFile(const fs::path& from, const fs::path& to) {
  if (fs::exists(fs::symlink_status(to))) fs::remove(to);
  if (to.has_parent_path()) fs::create_directories(to.parent_path());
  std::error_code error;
  fs::rename(from, to, error);
  if (!error) return;
  if (error != std::errc::cross_device_link)
    throw fs::filesystem_error("cannot move file", from, to, error);
  fs::copy_file(from, to);
  fs::remove(from);
}

}  // namespace orvane

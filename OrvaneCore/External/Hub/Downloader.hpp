#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "OrvaneCore/External/Hub/Broadcaster.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "Platform/Net/HttpClient.hpp"

namespace orvane {

struct Downloading {
  double progress = 0;          // 0 to 1
  std::optional<double> speed;  // bytes per second
};
struct Completed {
  std::filesystem::path location;
};
struct Failed {
  std::exception_ptr error;
};
struct NotStarted {};

using DownloadState = std::variant<Downloading, Completed, Failed, NotStarted>;
using DownloadStream = Broadcaster<DownloadState>::Stream;

class DownloadError : public TypedError {
 public:
  enum class Case { invalidDownloadLocation, unexpectedError, tempFileNotFound };

  static DownloadError invalidDownloadLocation() {
    return {Case::invalidDownloadLocation, "invalidDownloadLocation"};
  }
  static DownloadError unexpectedError() { return {Case::unexpectedError, "unexpectedError"}; }
  static DownloadError tempFileNotFound() { return {Case::tempFileNotFound, "tempFileNotFound"}; }

  Case kind() const noexcept { return kind_; }
  std::string errorDescription() const override;

 private:
  DownloadError(Case kind, std::string name) : TypedError(std::move(name), {}), kind_(kind) {}
  Case kind_;
};

// Bytes known about one transfer; shared by the transfer and its callers.
class DownloadResumeState {
 public:
  std::optional<int64_t> expectedSize() const;
  void setExpectedSize(std::optional<int64_t> size);
  int64_t downloadedSize() const;
  void setDownloadedSize(int64_t size);

 private:
  mutable std::mutex mutex_;
  std::optional<int64_t> expectedSize_;
  int64_t downloadedSize_ = 0;
};

// Fetches one file into a partial file, resuming what an earlier attempt
// left there, writing in chunks of `chunkSize` bytes, retrying cut
// transfers, and moving the finished file to `destination`. The transfer runs
// on a thread of its own; its states reach every subscribed stream.
class Downloader {
 public:
  Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
             bool inBackground = false, int64_t chunkSize = 10485760);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Starts the transfer (cancelling one still running) and returns a stream
  // of its states. `timeout` is the idle limit of each request in seconds.
  std::unique_ptr<DownloadStream> download(
      const std::string& url, const std::optional<std::string>& token,
      const std::optional<platform::net::HeaderFields>& headers,
      std::optional<int64_t> expectedSize, double timeout, int numRetries);
  // Stops the transfer; the partial file stays for a later resumption.
  void cancel();
  std::unique_ptr<DownloadStream> subscribe() { return broadcaster_.subscribe(); }

  // Size of the file at `path`, 0 when there is none.
  static int64_t incompleteFileSize(const std::filesystem::path& path);

 private:
  // Stands for one transfer session: invalidating it stops its requests.
  struct Session {
    std::atomic<bool> invalidated{false};
  };
  struct Task {
    std::atomic<bool> cancelled{false};
    std::thread thread;
  };
  struct Request {
    platform::net::HttpRequest http;
    const std::atomic<bool>* taskCancelled;
  };
  class OutputFile;

  void setUpTransfer(const std::string& url, const std::optional<std::string>& token,
                     int64_t resumeSize, const std::optional<platform::net::HeaderFields>& headers,
                     double timeout, int numRetries, const std::shared_ptr<Task>& task);
  void httpGet(Request request, OutputFile& file, int numRetries);
  void writeChunk(OutputFile& file, std::string& buffer, int64_t sizeAtStart,
                  std::chrono::steady_clock::time_point start);
  std::shared_ptr<Session> currentSession() const;
  void stopTask();

  const std::filesystem::path destination_;
  const std::filesystem::path incompleteDestination_;
  DownloadResumeState downloadResumeState_;
  const int64_t chunkSize_;
  Broadcaster<DownloadState> broadcaster_;
  mutable std::mutex mutex_;  // guards session_ and task_
  std::shared_ptr<Session> session_;
  std::shared_ptr<Task> task_;
};

// Replaces whatever lies at `to` by the file at `from`, creating the folders
// on the way; any failure throws std::filesystem::filesystem_error.
void moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace orvane

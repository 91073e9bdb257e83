#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrune {

// A low-priority worker that runs progress callbacks in order of
// submission, so that a slow callback never holds up the decoding loop that
// reports to it. The worker thread starts with the first report;
// destruction lets queued reports finish, then joins.
class ProgressReporter {
 public:
  ProgressReporter() = default;
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  // Queues `report` and returns at once. An exception thrown by a report is
  // logged at error level and dropped.
  void submit(std::function<void()> report);
  // Blocks until every report submitted so far has run (for callers that
  // must observe all reports, such as tests and shutdown).
  void waitUntilIdle();

 private:
  void workerLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> reports_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace kestrune

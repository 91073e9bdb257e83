#include "Kestrune/Core/ProgressReporter.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <exception>

#include "OrvaneCore/Logging.hpp"

namespace kestrune {

namespace {

// Lowers the calling thread's scheduling priority; on Linux the nice value
// is per thread. Failure only leaves the default priority.
void lowerCurrentThreadPriority() {
  sched_param parameters{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

}  // namespace

ProgressReporter::~ProgressReporter() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void ProgressReporter::submit(std::function<void()> report) {
  {
    std::lock_guard guard(mutex_);
    reports_.push_back(std::move(report));
    if (!worker_.joinable()) worker_ = std::thread([this] { workerLoop(); });
  }
  wake_.notify_one();
}

void ProgressReporter::waitUntilIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return reports_.empty() && !running_; });
}

void ProgressReporter::workerLoop() {
  lowerCurrentThreadPriority();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !reports_.empty(); });
    if (reports_.empty()) return;
    auto report = std::move(reports_.front());
    reports_.pop_front();
    running_ = true;
    lock.unlock();
    try {
      report();
    } catch (const std::exception& error) {
      orvane::Logging::error(std::string("Progress callback failed: ") + error.what());
    } catch (...) {
      orvane::Logging::error("Progress callback failed");
    }
    lock.lock();
    running_ = false;
    if (reports_.empty()) idle_.notify_all();
  }
}

}  // namespace kestrune

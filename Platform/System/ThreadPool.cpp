#include "Platform/System/ThreadPool.hpp"

#include <atomic>
#include <exception>

#include "Platform/System/SystemInfo.hpp"

namespace platform {

namespace {
thread_local const ThreadPool* currentPool = nullptr;
}

ThreadPool::ThreadPool(size_t threadCount) {
  if (threadCount == 0) threadCount = 1;
  workers_.reserve(threadCount);
  for (size_t i = 0; i < threadCount; ++i) workers_.emplace_back([this] { workerLoop(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

ThreadPool& ThreadPool::shared() {
  static ThreadPool pool(static_cast<size_t>(activeProcessorCount()));
  return pool;
}

bool ThreadPool::isWorkerThread() const noexcept { return currentPool == this; }

void ThreadPool::enqueue(std::function<void()> job) {
  {
    std::lock_guard guard(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ThreadPool::workerLoop() {
  currentPool = this;
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

void ThreadPool::parallelFor(size_t count, const std::function<void(size_t)>& body) {
  if (count == 0) return;
  if (count == 1) {
    body(0);
    return;
  }
  struct Shared {
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr failure;
  };
  auto state = std::make_shared<Shared>();
  auto drain = [state, count, &body] {
    for (size_t i; (i = state->next.fetch_add(1)) < count;) {
      try {
        body(i);
      } catch (...) {
        std::lock_guard guard(state->mutex);
        if (!state->failure) state->failure = std::current_exception();
      }
      if (state->done.fetch_add(1) + 1 == count) {
        std::lock_guard guard(state->mutex);
        state->finished.notify_all();
      }
    }
  };
  const size_t helpers = std::min(threadCount(), count - 1);
  for (size_t i = 0; i < helpers; ++i) enqueue(drain);
  drain();
  std::unique_lock lock(state->mutex);
  state->finished.wait(lock, [&] { return state->done.load() == count; });
  if (state->failure) std::rethrow_exception(state->failure);
}

}  // namespace platform

#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform {

// The process's worker threads. One pool serves the model runtime, the cache
// updates and batch transcription, so that together they never run more
// threads than there are processors.
class ThreadPool {
 public:
  explicit ThreadPool(size_t threadCount);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The shared pool, one thread per active processor.
  static ThreadPool& shared();

  size_t threadCount() const noexcept { return workers_.size(); }

  // Runs `task` on a worker; the future carries its result or exception.
  template <typename Task>
  auto submit(Task task) -> std::future<std::invoke_result_t<Task>> {
    using Result = std::invoke_result_t<Task>;
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    auto future = packaged->get_future();
    enqueue([packaged] { (*packaged)(); });
    return future;
  }

  // Calls body(i) for every i in [0, count), spread over the workers and the
  // calling thread, and returns when all calls are done. The caller takes
  // part, so a nested call from a worker cannot starve. The first exception
  // thrown by a body is rethrown here after every call has finished.
  void parallelFor(size_t count, const std::function<void(size_t)>& body);

  // True on one of this pool's worker threads.
  bool isWorkerThread() const noexcept;

 private:
  void enqueue(std::function<void()> job);
  void workerLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace platform

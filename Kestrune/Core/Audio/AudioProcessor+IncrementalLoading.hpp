#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Kestrune/Core/Audio/AudioChunk.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"

namespace kestrune {

// One chunk of a file being streamed. The consumer calls `completionSignal`
// once it is done with the chunk, which lets the reader go on.
struct IncrementalFileChunk {
  AudioChunk audioChunk;
  std::function<void()> completionSignal;
};

// Limits how many handed-out chunks may wait unconsumed. One caller at a
// time; a producer asking for a slot while the limit is reached waits
// until a chunk is consumed or the controller is terminated.
class IncrementalLoadController {
 public:
  explicit IncrementalLoadController(int maxBufferedChunks);

  void requestChunkSlot();
  void signalChunkConsumed();
  // Terminates the controller and releases every waiting producer.
  void resumeWaitingProducers();

  int maxBufferedChunks() const noexcept { return maxBufferedChunks_; }
  int activeChunks() const;
  size_t waitingProducerCount() const;
  bool isTerminated() const;

 private:
  struct Waiter {
    bool resumed = false;
  };

  const int maxBufferedChunks_;
  mutable std::mutex mutex_;
  std::condition_variable resumed_;
  int activeChunks_ = 0;
  std::deque<std::shared_ptr<Waiter>> waitingProducers_;
  bool isTerminated_ = false;
};

// The chunks of a file as they are read, produced on a thread of its own.
// Ending the stream early (cancel() or destruction) stops the reader and
// releases it when it waits for a slot.
class IncrementalFileStream {
 public:
  struct State;

  IncrementalFileStream(std::shared_ptr<State> state, std::thread producer);
  IncrementalFileStream(IncrementalFileStream&&) noexcept = default;
  IncrementalFileStream& operator=(IncrementalFileStream&&) = delete;
  ~IncrementalFileStream();

  // Waits for the next chunk; none once the stream has finished. Throws the
  // error that ended the stream, once the chunks before it are taken.
  std::optional<IncrementalFileChunk> next();
  void cancel();

  // Chunks produced but not taken yet.
  size_t pendingChunkCount() const;
  const IncrementalLoadController& controller() const;

 private:
  std::shared_ptr<State> state_;
  std::thread producer_;
};

}  // namespace kestrune

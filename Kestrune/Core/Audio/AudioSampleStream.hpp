#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrune {

// An unbounded stream of sample arrays between one producer (the
// continuation, usually on the capture thread) and one consumer that waits
// in next(). It ends when the producer finishes it, with or without an
// error, or when the consumer terminates it or lets it go; either way the
// termination handler runs once, on the thread that ended the stream.
class AudioSampleStream {
 public:
  class Continuation;

  // A stream and the continuation that feeds it.
  static std::pair<AudioSampleStream, Continuation> make();

  AudioSampleStream(AudioSampleStream&&) noexcept = default;
  AudioSampleStream& operator=(AudioSampleStream&&) noexcept;
  ~AudioSampleStream();

  // The next array, waiting for it; none once the stream has ended. An
  // error that ended the stream is thrown after the arrays before it.
  std::optional<std::vector<float>> next();
  // Ends the stream from the consumer's side; arrays not taken are dropped.
  void terminate();

  // Runs when the stream ends; at once when it already has.
  void setOnTermination(std::function<void()> handler);

 private:
  struct State;
  explicit AudioSampleStream(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

class AudioSampleStream::Continuation {
 public:
  // Hands an array to the consumer; ignored once the stream has ended.
  void yield(std::vector<float> samples) const;
  // Ends the stream; the consumer sees `error` after the arrays before it.
  void finish(std::exception_ptr error = nullptr) const;

 private:
  friend class AudioSampleStream;
  explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

struct AudioSampleStream::State {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::vector<float>> pending;
  bool ended = false;
  std::exception_ptr error;
  std::function<void()> onTermination;

  // Marks the stream ended; returns the handler to run, outside the lock.
  std::function<void()> end(std::exception_ptr failure, bool dropPending);
};

}  // namespace kestrune

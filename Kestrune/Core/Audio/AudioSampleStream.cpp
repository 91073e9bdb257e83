#include "Kestrune/Core/Audio/AudioSampleStream.hpp"

#include <utility>

namespace kestrune {

std::function<void()> AudioSampleStream::State::end(std::exception_ptr failure, bool dropPending) {
  std::lock_guard guard(lock);
  if (ended) return nullptr;
  ended = true;
  error = std::move(failure);
  if (dropPending) pending.clear();
  changed.notify_all();
  return std::exchange(onTermination, nullptr);
}

std::pair<AudioSampleStream, AudioSampleStream::Continuation> AudioSampleStream::make() {
  auto state = std::make_shared<State>();
  return {AudioSampleStream(state), Continuation(state)};
}

AudioSampleStream::AudioSampleStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

AudioSampleStream& AudioSampleStream::operator=(AudioSampleStream&& other) noexcept {
  if (this != &other) {
    terminate();
    state_ = std::move(other.state_);
  }
  return *this;
}

AudioSampleStream::~AudioSampleStream() {
  terminate();
}

std::optional<std::vector<float>> AudioSampleStream::next() {
  if (!state_) return std::nullopt;
  std::unique_lock guard(state_->lock);
  state_->changed.wait(guard, [&] { return !state_->pending.empty() || state_->ended; });
  if (!state_->pending.empty()) {
    auto samples = std::move(state_->pending.front());
    state_->pending.pop_front();
    return samples;
  }
  if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
  return std::nullopt;
}

void AudioSampleStream::terminate() {
  if (!state_) return;
  if (const auto handler = state_->end(nullptr, true)) handler();
}

void AudioSampleStream::setOnTermination(std::function<void()> handler) {
  if (!state_) return;
  {
    std::lock_guard guard(state_->lock);
    if (!state_->ended) {
      state_->onTermination = std::move(handler);
      return;
    }
  }
  if (handler) handler();
}

void AudioSampleStream::Continuation::yield(std::vector<float> samples) const {
  std::lock_guard guard(state_->lock);
  if (state_->ended) return;
  state_->pending.push_back(std::move(samples));
  state_->changed.notify_all();
}

void AudioSampleStream::Continuation::finish(std::exception_ptr error) const {
  if (const auto handler = state_->end(std::move(error), false)) handler();
}

}  // namespace kestrune

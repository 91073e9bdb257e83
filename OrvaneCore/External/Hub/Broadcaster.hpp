#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "OrvaneCore/UUID.hpp"

namespace orvane {

// Hands every state to any number of listeners. A new listener first gets
// the latest state (or the initial one when nothing was broadcast yet) and
// then each later state in order; nothing is lost for a slow listener. The
// broadcaster never ends a stream: a listener stops reading on its own, and
// dropping its stream unsubscribes it.
template <typename State>
class Broadcaster {
  struct Channel {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<State> pending;

    void push(State state) {
      {
        std::lock_guard guard(mutex);
        pending.push_back(std::move(state));
      }
      ready.notify_all();
    }
  };

  struct Registry {
    std::mutex mutex;
    std::optional<State> latestState;
    std::unordered_map<UUID, std::shared_ptr<Channel>> continuations;
  };

 public:
  class Stream {
   public:
    Stream(std::shared_ptr<Registry> registry, UUID id, std::shared_ptr<Channel> channel)
        : registry_(std::move(registry)), id_(id), channel_(std::move(channel)) {}
    ~Stream() {
      std::lock_guard guard(registry_->mutex);
      registry_->continuations.erase(id_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The next state, waiting at most `timeout`; none when none came.
    std::optional<State> next(std::chrono::milliseconds timeout) {
      std::unique_lock lock(channel_->mutex);
      if (!channel_->ready.wait_for(lock, timeout, [&] { return !channel_->pending.empty(); }))
        return std::nullopt;
      State state = std::move(channel_->pending.front());
      channel_->pending.pop_front();
      return state;
    }

   private:
    std::shared_ptr<Registry> registry_;
    UUID id_;
    std::shared_ptr<Channel> channel_;
  };

  explicit Broadcaster(std::function<State()> initialState)
      : initialState_(std::move(initialState)), registry_(std::make_shared<Registry>()) {}

  std::unique_ptr<Stream> subscribe() {
    auto channel = std::make_shared<Channel>();
    const UUID id;
    std::optional<State> latest;
    {
      std::lock_guard guard(registry_->mutex);
      registry_->continuations.emplace(id, channel);
      latest = registry_->latestState;
      // The first state goes in under the lock so that a broadcast racing
      // with this subscription cannot overtake it.
      channel->push(latest ? *latest : initialState_());
    }
    return std::make_unique<Stream>(registry_, id, std::move(channel));
  }

  void broadcast(State state) {
    std::lock_guard guard(registry_->mutex);
    registry_->latestState = state;
    for (auto& [id, channel] : registry_->continuations) channel->push(state);
  }

 private:
  std::function<State()> initialState_;
  std::shared_ptr<Registry> registry_;
};

}  // namespace orvane

#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "OrvaneCore/UUID.hpp"

namespace orvane {

// A non-recursive lock for short critical sections.
class UnfairLock {
 public:
  // Runs `body` under the lock; the lock is released when `body` throws.
  template <typename Body>
  auto withLock(Body&& body) const -> decltype(body()) {
    std::lock_guard guard(mutex_);
    return body();
  }

 private:
  mutable std::mutex mutex_;
};

// A value with its own lock. Each read or write is one locked step; modify()
// is a locked read, the caller's change and a locked write, so two modifies
// racing can lose one change (use withLock for an atomic update).
template <typename Value>
class PropertyLock {
 public:
  PropertyLock() = default;
  explicit PropertyLock(Value value) : value_(std::move(value)) {}
  PropertyLock(const PropertyLock& other) : value_(other.get()) {}
  PropertyLock& operator=(const PropertyLock& other) {
    if (this != &other) set(other.get());
    return *this;
  }

  Value get() const {
    return lock_.withLock([&] { return value_; });
  }
  void set(Value value) {
    lock_.withLock([&] { value_ = std::move(value); });
  }
  template <typename Change>
  void modify(Change&& change) {
    Value temporary = get();
    change(temporary);
    set(std::move(temporary));
  }
  // Runs `body` with the value under the lock: an atomic read-modify-write.
  template <typename Body>
  auto withLock(Body&& body) -> decltype(body(std::declval<Value&>())) {
    return lock_.withLock([&]() -> decltype(auto) { return body(value_); });
  }
  template <typename Body>
  auto withLock(Body&& body) const -> decltype(body(std::declval<const Value&>())) {
    return lock_.withLock([&]() -> decltype(auto) { return body(value_); });
  }

 private:
  UnfairLock lock_;
  Value value_{};
};

// JSON coding through nlohmann::json (found by argument lookup): the encoded
// form is the value's own, written while the lock is held.
template <typename Json, typename Value>
void to_json(Json& json, const PropertyLock<Value>& cell) {
  cell.withLock([&](const Value& value) { json = value; });
}
template <typename Json, typename Value>
void from_json(const Json& json, PropertyLock<Value>& cell) {
  cell.set(json.template get<Value>());
}

// A value owned by its lock; same contract as PropertyLock. An optional
// starts out empty.
template <typename Value>
using Protected = PropertyLock<Value>;

// A weak reference to a shared object that can be handed between threads.
template <typename Value>
class WeakSendableWrapper {
 public:
  explicit WeakSendableWrapper(const std::shared_ptr<Value>& value) : value_(value) {}
  std::shared_ptr<Value> value() const {
    return lock_.withLock([&] { return value_.lock(); });
  }
  void setValue(const std::shared_ptr<Value>& value) {
    lock_.withLock([&] { value_ = value; });
  }

 private:
  UnfairLock lock_;
  std::weak_ptr<Value> value_;
};

// The registry through which a progress callback stops a running decoding
// window: one flag per run, serialised by its own lock.
class EarlyStopActor {
 public:
  void set(bool value, const UUID& id);
  bool get(const UUID& id) const;  // false for an unknown id
  std::optional<bool> remove(const UUID& id);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<UUID, bool> shouldStop_;
};

namespace ConcurrencyUtilities {
int activeProcessorCount();
}

// The elements of `names` that match the shell wildcard `glob` (fnmatch with
// no flags, so "*" also matches "/"), in list order.
std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob);

// `value` × 10^places rounded half away from zero, then divided again, all in
// 32-bit arithmetic.
float rounded(float value, int places);

// Remove up to `upto` leading (trailing) occurrences of `character`.
std::string trimmingFromStart(const std::string& text, char32_t character, size_t upto);
std::string trimmingFromEnd(const std::string& text, char32_t character, size_t upto);

// Consecutive slices of `size` elements; the last one may be shorter.
template <typename Element>
std::vector<std::vector<Element>> batched(const std::vector<Element>& elements, size_t size) {
  std::vector<std::vector<Element>> slices;
  if (size == 0) return slices;
  for (size_t start = 0; start < elements.size(); start += size) {
    const size_t end = std::min(elements.size(), start + size);
    slices.emplace_back(elements.begin() + static_cast<ptrdiff_t>(start),
                        elements.begin() + static_cast<ptrdiff_t>(end));
  }
  return slices;
}

// The elements in first-occurrence order, later duplicates dropped.
template <typename Element>
std::vector<Element> orderedSet(const std::vector<Element>& elements) {
  std::unordered_set<Element> seen;
  std::vector<Element> result;
  for (const auto& element : elements) {
    if (seen.insert(element).second) result.push_back(element);
  }
  return result;
}

// Expands a leading "~"; an absolute result is returned as it is, a relative
// one is appended to the current directory.
std::string resolveAbsolutePath(const std::string& path);

}  // namespace orvane

#pragma once

#include <atomic>
#include <memory>

#include "OrvaneCore/TypedError.hpp"

namespace orvane {

// What a cancelled task ends with.
class CancellationError : public TypedError {
 public:
  CancellationError() : TypedError("CancellationError", {}) {}
  std::string errorDescription() const override { return "The operation was cancelled."; }
};

// A flag shared by whoever may cancel a piece of work and the work itself.
class CancellationToken {
 public:
  CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
  void cancel() const { flag_->store(true); }
  bool isCancelled() const { return flag_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// The token of the work running on this thread: installed for the lifetime
// of a scope, so that deep stages can check it without threading it through
// every call. Nested scopes restore the outer token.
class CancellationScope {
 public:
  explicit CancellationScope(CancellationToken token);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  const CancellationToken* previous_;
  CancellationToken token_;
};

namespace Task {
// Whether the work on this thread has been cancelled (false outside a scope).
bool isCancelled();
// Throws CancellationError when it has.
void checkCancellation();
// The token of this thread's work, or a fresh one outside any scope.
CancellationToken currentToken();
}  // namespace Task

}  // namespace orvane

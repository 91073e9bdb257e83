#include "OrvaneCore/TaskCancellation.hpp"

namespace orvane {

namespace {
thread_local const CancellationToken* currentCancellationToken = nullptr;
}

CancellationScope::CancellationScope(CancellationToken token)
    : previous_(currentCancellationToken), token_(std::move(token)) {
  currentCancellationToken = &token_;
}

CancellationScope::~CancellationScope() {
  currentCancellationToken = previous_;
}

namespace Task {

bool isCancelled() {
  return currentCancellationToken != nullptr && currentCancellationToken->isCancelled();
}

void checkCancellation() {
  if (isCancelled()) throw CancellationError();
}

CancellationToken currentToken() {
  return currentCancellationToken != nullptr ? *currentCancellationToken : CancellationToken();
}

}  // namespace Task
}  // namespace orvane

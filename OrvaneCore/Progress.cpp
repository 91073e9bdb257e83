#include "OrvaneCore/Progress.hpp"

#include <algorithm>

namespace orvane {

std::shared_ptr<Progress> Progress::make(int64_t totalUnitCount) {
  struct Constructible : Progress {};
  auto progress = std::make_shared<Constructible>();
  progress->setTotalUnitCount(totalUnitCount);
  return progress;
}

int64_t Progress::totalUnitCount() const {
  std::lock_guard guard(mutex_);
  return totalUnitCount_;
}

void Progress::setTotalUnitCount(int64_t count) {
  std::lock_guard guard(mutex_);
  totalUnitCount_ = count;
}

void Progress::raiseTotalUnitCount(int64_t count) {
  std::lock_guard guard(mutex_);
  totalUnitCount_ = std::max(totalUnitCount_, count);
}

double Progress::completedShare() const {
  std::vector<Child> children;
  int64_t own = 0;
  {
    std::lock_guard guard(mutex_);
    children = children_;
    own = completedUnitCount_;
  }
  // Children are read outside our lock so that a child never waits on its
  // parent, whatever thread updates it.
  double fromChildren = 0;
  for (const auto& child : children) {
    fromChildren +=
        child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
  }
  return static_cast<double>(own) + fromChildren;
}

int64_t Progress::completedUnitCount() const {
  return static_cast<int64_t>(completedShare());
}

void Progress::setCompletedUnitCount(int64_t count) {
  std::lock_guard guard(mutex_);
  completedUnitCount_ = count;
}

double Progress::fractionCompleted() const {
  const int64_t total = totalUnitCount();
  if (total <= 0) return 0;
  // Children's partial shares count here even where they do not yet add
  // up to a whole unit of the parent.
  return std::min(1.0, completedShare() / static_cast<double>(total));
}

bool Progress::isFinished() const {
  const int64_t total = totalUnitCount();
  return total > 0 && completedUnitCount() >= total;
}

void Progress::addChild(const std::shared_ptr<Progress>& child, int64_t pendingUnitCount) {
  std::lock_guard guard(mutex_);
  children_.push_back({child, pendingUnitCount});
}

size_t Progress::childCount() const {
  std::lock_guard guard(mutex_);
  return children_.size();
}

}  // namespace orvane

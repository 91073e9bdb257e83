#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orvane {

// A unit-count progress tree that any thread may read and update. A child
// added with a pending count stands for that many units of its parent; the
// parent's completed count is its own plus each child's finished share.
class Progress : public std::enable_shared_from_this<Progress> {
 public:
  static std::shared_ptr<Progress> make(int64_t totalUnitCount = 0);

  int64_t totalUnitCount() const;
  void setTotalUnitCount(int64_t count);
  // Raises the total to `count` when it is lower; atomic.
  void raiseTotalUnitCount(int64_t count);
  // Own units plus the children's contribution.
  int64_t completedUnitCount() const;
  void setCompletedUnitCount(int64_t count);
  // Share of the total done, 0 when there is no total.
  double fractionCompleted() const;
  // True once the completed count reached a positive total.
  bool isFinished() const;

  void addChild(const std::shared_ptr<Progress>& child, int64_t pendingUnitCount);
  size_t childCount() const;

 protected:
  Progress() = default;

 private:
  // Own units plus the children's finished shares, unrounded.
  double completedShare() const;

  struct Child {
    std::shared_ptr<Progress> progress;
    int64_t pendingUnitCount;
  };

  mutable std::mutex mutex_;
  int64_t totalUnitCount_ = 0;
  int64_t completedUnitCount_ = 0;
  std::vector<Child> children_;
};

}  // namespace orvane

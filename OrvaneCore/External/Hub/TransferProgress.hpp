#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "OrvaneCore/Progress.hpp"

namespace orvane {

// A progress record of a download: the unit-count tree plus the transfer
// speed last measured, in bytes per second.
class TransferProgress : public Progress {
 public:
  static std::shared_ptr<TransferProgress> make(int64_t totalUnitCount = 0) {
    struct Constructible : TransferProgress {};
    auto progress = std::make_shared<Constructible>();
    progress->setTotalUnitCount(totalUnitCount);
    return progress;
  }

  std::optional<double> throughput() const {
    std::lock_guard guard(mutex_);
    return throughput_;
  }
  void setThroughput(std::optional<double> bytesPerSecond) {
    std::lock_guard guard(mutex_);
    throughput_ = bytesPerSecond;
  }

 protected:
  TransferProgress() = default;

 private:
  mutable std::mutex mutex_;
  std::optional<double> throughput_;
};

}  // namespace orvane

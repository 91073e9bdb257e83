#include "Platform/ML/RuntimeLog.hpp"

#include <mutex>

namespace platform::ml {

namespace {
struct SinkCell {
  std::mutex mutex;
  RuntimeLog::Sink sink;
};
SinkCell& sinkCell() {
  static SinkCell cell;
  return cell;
}
}  // namespace

void RuntimeLog::setSink(Sink sink) {
  auto& cell = sinkCell();
  std::lock_guard guard(cell.mutex);
  cell.sink = std::move(sink);
}

void RuntimeLog::write(Level level, const std::string& line) {
  Sink sink;
  {
    auto& cell = sinkCell();
    std::lock_guard guard(cell.mutex);
    sink = cell.sink;
  }
  // Delivered outside the lock so that a sink may itself log.
  if (sink) sink(level, line);
}

}  // namespace platform::ml

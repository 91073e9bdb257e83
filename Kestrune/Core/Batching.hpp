#pragma once

#include <algorithm>
#include <cstddef>
#include <future>
#include <vector>

namespace kestrune {

// Calls item(i) for every i in [0, count): consecutive batches of
// `batchSize` one after another, the items of a batch at once. Outcomes
// come back in index order. `item` must not throw.
//
// Each item gets a thread of its own rather than a worker of the shared
// pool: the model predictions inside a transcription are themselves queued
// on that pool and waited for, so items occupying its workers could wait
// forever on predictions that never get a worker.
template <typename Outcome, typename Item>
std::vector<Outcome> runInBatches(size_t count, size_t batchSize, const Item& item) {
  std::vector<Outcome> outcomes;
  outcomes.reserve(count);
  if (batchSize == 0) batchSize = count;
  for (size_t start = 0; start < count; start += batchSize) {
    const size_t end = std::min(count, start + batchSize);
    std::vector<std::future<Outcome>> batch;
    for (size_t index = start; index < end; ++index) {
      batch.push_back(std::async(std::launch::async, [&item, index] { return item(index); }));
    }
    for (auto& running : batch) outcomes.push_back(running.get());
  }
  return outcomes;
}

}  // namespace kestrune

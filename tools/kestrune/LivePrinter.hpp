#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "Kestrune/Core/Audio/AudioStreamTranscriber.hpp"

namespace kestrune::cli {

// Writes each confirmed segment once, on its own line, as it is confirmed.
// With `refreshTail` (a terminal) the unconfirmed tail follows on the last
// line and is rewritten in place whenever it changes; without, only
// confirmed text is written, so a pipe gets clean lines.
class LivePrinter {
 public:
  LivePrinter(std::ostream& out, bool refreshTail) : out_(out), refreshTail_(refreshTail) {}

  void show(const AudioStreamTranscriber::State& state);
  // What was still unconfirmed when recording stopped is final now.
  void close(const AudioStreamTranscriber::State& state);

 private:
  void clearTail();

  std::ostream& out_;
  const bool refreshTail_;
  std::mutex lock_;
  size_t printed_ = 0;
  std::string shownTail_;
};

}  // namespace kestrune::cli

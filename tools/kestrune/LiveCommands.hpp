#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace kestrune::cli {

struct LiveSettings {
  std::optional<std::string> model;
  std::optional<uint32_t> device;
  std::optional<std::string> language;
  std::string task = "transcribe";
  // Stop by itself after this many seconds; absent: at Ctrl-C.
  std::optional<double> seconds;
  // Standard output is a terminal: the unconfirmed tail is redrawn in place.
  bool refreshTail = false;
};

// Lists the audio inputs, one "ID<tab>NAME" line each.
int runDevices(std::ostream& out, std::ostream& err);
// Transcribes the microphone: each confirmed piece of text is printed on its
// own line once confirmed; the unconfirmed tail follows on one line that is
// rewritten as it changes. Ends at SIGINT or SIGTERM, or after `seconds`.
int runLive(const LiveSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli

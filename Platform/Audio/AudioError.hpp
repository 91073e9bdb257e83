#pragma once

#include <stdexcept>
#include <string>

namespace platform::audio {

// A failure of the audio library layer (opening, decoding, converting). The
// message is the library's own account of it; the engine wraps it into its
// error kinds.
class AudioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace platform::audio

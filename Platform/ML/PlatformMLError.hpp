#pragma once

#include <stdexcept>
#include <string>

namespace platform::ml {

// The runtime's own error, standing in for the platform's framework errors.
// Like those, it is not one of the engine's typed errors: what() is the
// readable description, which is what callers put into their messages.
class PlatformMLError : public std::runtime_error {
 public:
  enum class Code {
    invalidArgument,   // a bad shape, index, type or value given by the caller
    allocationFailed,  // storage could not be obtained
    modelLoadFailed,   // a model folder could not be opened or is malformed
    predictionFailed,  // inputs missing or mismatched, or the executor failed
  };

  PlatformMLError(Code code, const std::string& description)
      : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  std::string description() const { return what(); }

 private:
  Code code_;
};

}  // namespace platform::ml

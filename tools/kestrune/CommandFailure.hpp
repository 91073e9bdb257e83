#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace kestrune::cli {

// A command that could not do its work; main prints the one line and exits
// with status 1.
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Arguments that parse but cannot work together; status 2, like the
// parser's own complaints.
class UsageFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The readable message of any error: the engine's own message for its
// error kinds, the text form for other typed errors, else what().
std::string describe(const std::exception& error);
std::string describe(const std::exception_ptr& error);

// The advice every "no usable model" message ends with.
inline constexpr const char* modelAdvice =
    "get a model folder with `kestrune download`, or make one from a Whisper checkpoint with "
    "`kestrune convert CHECKPOINT_DIR OUT_DIR`";

}  // namespace kestrune::cli

#pragma once

#include <ostream>

namespace kestrune::cli {

// Runs `kestrune` with its arguments and returns the exit status: 0 on
// success, 1 when the work failed, 2 for a usage error. Every error becomes
// one line on `err`; nothing escapes as an exception.
struct Terminals {
  bool out = false;  // live text redraws its unconfirmed tail in place
  bool err = false;  // progress bars instead of plain lines
};
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
        Terminals terminals);

}  // namespace kestrune::cli

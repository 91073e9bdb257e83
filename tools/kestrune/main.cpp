// kestrune: transcribes audio files, detects their language and converts
// Whisper checkpoints into model folders.
#include <unistd.h>

#include <iostream>

#include "tools/kestrune/CommandLine.hpp"

int main(int argc, char** argv) {
  const kestrune::cli::Terminals terminals{.out = ::isatty(STDOUT_FILENO) == 1,
                                           .err = ::isatty(STDERR_FILENO) == 1};
  return kestrune::cli::run(argc, argv, std::cout, std::cerr, terminals);
}

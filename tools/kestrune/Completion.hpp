#pragma once

#include <string>

namespace CLI {
class App;
}

namespace kestrune::cli {

// The full manual: the program's description, then every command's usage,
// arguments and options, from the same descriptions as --help.
std::string manual(const CLI::App& app);

// A bash completion script for the commands and options of `app`: commands
// first, then each command's options, with folder, file or fixed-choice
// values where the option names that kind of value.
std::string bashCompletion(const CLI::App& app);

}  // namespace kestrune::cli

#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrune::testing {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the kestrune binary with `arguments` in `folder`, standard input
// empty and both outputs collected through files (never a terminal).
// `environment` entries are added to, or replace, the test's own.
ToolRun runTool(const std::vector<std::string>& arguments, const std::filesystem::path& folder,
                const std::map<std::string, std::string>& environment = {});

// The same under a pseudo-terminal made by script(1): standard output and
// standard error both reach the terminal and come back mixed in `out`.
ToolRun runToolOnTerminal(const std::vector<std::string>& arguments,
                          const std::filesystem::path& folder);

// The text a POSIX shell reads as `word` itself.
std::string shellQuoted(const std::string& word);

}  // namespace kestrune::testing

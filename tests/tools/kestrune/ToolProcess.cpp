#include "tests/tools/kestrune/ToolProcess.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrune::testing {

namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

int openOrDie(const std::filesystem::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) ::_exit(126);
  return fd;
}

ToolRun execute(const std::vector<std::string>& command, const std::filesystem::path& folder,
                const std::map<std::string, std::string>& environment) {
  const auto outPath = folder / ".tool-stdout";
  const auto errPath = folder / ".tool-stderr";
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    ::dup2(openOrDie("/dev/null", O_RDONLY), 0);
    ::dup2(openOrDie(outPath, O_WRONLY | O_CREAT | O_TRUNC), 1);
    ::dup2(openOrDie(errPath, O_WRONLY | O_CREAT | O_TRUNC), 2);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ToolRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = contents(outPath);
  run.err = contents(errPath);
  std::filesystem::remove(outPath);
  std::filesystem::remove(errPath);
  return run;
}

}  // namespace

std::string shellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ToolRun runTool(const std::vector<std::string>& arguments, const std::filesystem::path& folder,
                const std::map<std::string, std::string>& environment) {
  std::vector<std::string> command{KESTRUNE_TOOL_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return execute(command, folder, environment);
}

ToolRun runToolOnTerminal(const std::vector<std::string>& arguments,
                          const std::filesystem::path& folder) {
  std::string line = shellQuoted(KESTRUNE_TOOL_BINARY);
  for (const auto& argument : arguments) line += " " + shellQuoted(argument);
  return execute({"script", "-qec", line, "/dev/null"}, folder, {});
}

}  // namespace kestrune::testing

#include "tests/caretpeek/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace caretpeek::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Reaps the process; false when it is still running after `limit`.
bool exitedWithin(pid_t pid, std::chrono::milliseconds limit, int& status) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    if (result == pid || (result < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::string variable(const std::string& name, const std::string& value) {
  return name + "=" + value;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const std::vector<char*> argv = pointersTo(arguments);
  const std::vector<char*> envp = pointersTo(environment);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) == 0) {
    pid_ = pid;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
  stop();
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
}

void ChildProcess::stop() {
  if (pid_ <= 0) return;
  int status = 0;
  if (!reaped_) {
    ::kill(-pid_, SIGTERM);
    if (!exitedWithin(pid_, std::chrono::milliseconds(2000), status)) {
      ::kill(-pid_, SIGKILL);
      exitedWithin(pid_, std::chrono::milliseconds(5000), status);
    }
  }
  // Whatever of the group outlived its leader goes too.
  ::kill(-pid_, SIGKILL);
  pid_ = -1;
}

std::optional<int> ChildProcess::exitStatus(std::chrono::milliseconds limit) {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  int status = 0;
  if (!exitedWithin(pid_, limit, status)) return std::nullopt;
  reaped_ = true;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

bool ChildProcess::fill(Clock::time_point deadline) {
  if (ended_ || output_ < 0) return false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{output_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (!fill(deadline)) return std::nullopt;
  }
}

std::optional<std::string> ChildProcess::readAll(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!ended_) {
    if (!fill(deadline) && !ended_) return std::nullopt;
  }
  return std::exchange(pending_, {});
}

bool ChildProcess::writeLine(const std::string& line) {
  if (input_ < 0) return false;
  const std::string data = line + '\n';
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(input_, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::signalGroup(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(-pid_, signal);
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

}  // namespace caretpeek::testing

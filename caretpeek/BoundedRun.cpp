#include "caretpeek/BoundedRun.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace caretpeek {
namespace {

using Clock = std::chrono::steady_clock;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

[[noreturn]] void runChild(const std::function<std::string()>& probe, int out) {
  // A library that gives up by aborting should not leave a core file behind
  // for every query.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  std::string line;
  try {
    line = probe() + '\n';
  } catch (...) {
    ::_exit(1);
  }
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(out, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(1);
    written += static_cast<std::size_t>(n);
  }
  // Skips the destructors and exit handlers of the libraries the probe used:
  // their work is done and they must not disturb the line already sent.
  ::_exit(0);
}

// Everything up to end of file; nothing when the deadline passes first or
// the pipe fails.
std::optional<std::string> readUntilEnd(int in, Clock::time_point deadline) {
  std::string data;
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd entry{in, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;  // the deadline check above ends the loop
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string runBounded(const std::function<std::string()>& probe, std::chrono::milliseconds limit,
                       const std::string& fallback) {
  const Clock::time_point deadline = Clock::now() + limit;
  int fds[2];
  if (::pipe(fds) != 0) return probe();
  FileDescriptor in(fds[0]);
  FileDescriptor out(fds[1]);
  // A program the probe's libraries start (a bus launcher) must not inherit
  // the pipe, or the end of the child's output would wait for it.
  ::fcntl(out.get(), F_SETFD, FD_CLOEXEC);
  const pid_t child = ::fork();
  if (child < 0) return probe();
  if (child == 0) {
    in.reset();
    runChild(probe, out.get());
  }
  out.reset();
  const std::optional<std::string> data = readUntilEnd(in.get(), deadline);
  // Its line is in hand or will never come: the child has nothing left to do,
  // and ending it here means the wait below cannot block.
  ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The child ends its line with a line feed; anything short of that was cut
  // off, and the line itself may hold a line feed (a line break before the
  // caret), so only the last one is the terminator.
  if (!data || data->empty() || data->back() != '\n') return fallback;
  return data->substr(0, data->size() - 1);
}

}  // namespace caretpeek

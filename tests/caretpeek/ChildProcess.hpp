#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace caretpeek::testing {

// A program started for a test, in a process group of its own so that it and
// whatever it starts can be ended together. Its standard input and output are
// pipes; its standard error is the test's. Ending the object ends the group.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool started() const { return pid_ > 0; }
  // The next line of output without its line feed; nothing at end of output
  // or when no line came within `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  // Everything up to the end of output; nothing when the output did not end
  // within `limit`.
  std::optional<std::string> readAll(std::chrono::milliseconds limit);
  // The exit status once the process has ended by itself within `limit`;
  // nothing when it was ended by a signal or is still running.
  std::optional<int> exitStatus(std::chrono::milliseconds limit);
  bool writeLine(const std::string& line);
  void closeInput();
  // Sends `signal` to the process group.
  void signalGroup(int signal);
  // Ends the process group: a polite signal, then, after a grace time, a
  // forceful one.
  void stop();

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool ended_ = false;   // its output reached end of file
  bool reaped_ = false;  // its exit status was collected
  std::string pending_;
};

// The environment entry "NAME=value".
std::string variable(const std::string& name, const std::string& value);

}  // namespace caretpeek::testing

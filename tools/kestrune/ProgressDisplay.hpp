#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace kestrune::cli {

// What the bar shows, in one line: the share of audio done, the time spent,
// the time still expected and the realtime factor (seconds of work per
// second of audio).
std::string progressLine(const std::string& label, double fraction, double elapsedSeconds,
                         double audioSeconds, int barWidth = 24);
// "m:ss", or "h:mm:ss" from one hour on.
std::string clockText(double seconds);

// Reports the transcription of one file on standard error. On a terminal a
// background thread redraws one line in place; elsewhere (a pipe, a log
// file) only a start and an end line are written, so logs stay readable.
class ProgressDisplay {
 public:
  using FractionSource = std::function<double()>;

  ProgressDisplay(std::ostream& err, bool terminal, std::string label, double audioSeconds,
                  FractionSource source);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Draws the final state and ends the line; later calls do nothing.
  void finish(bool succeeded);

 private:
  void redrawLoop();
  void draw(double fraction);
  double elapsedSeconds() const;

  std::ostream& err_;
  const bool terminal_;
  const std::string label_;
  const double audioSeconds_;
  const FractionSource source_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  double shown_ = 0;  // the bar never moves back
  bool finished_ = false;
  std::mutex lock_;
  std::condition_variable wake_;
  std::thread redraw_;
};

}  // namespace kestrune::cli

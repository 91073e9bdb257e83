#include "tools/kestrune/ProgressDisplay.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestrune::cli {

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(200);

std::string formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string clockText(double seconds) {
  const auto total = static_cast<long long>(std::max(0.0, seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string progressLine(const std::string& label, double fraction, double elapsedSeconds,
                         double audioSeconds, int barWidth) {
  fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
  const int filled = static_cast<int>(fraction * barWidth);
  std::string line = label + " [" + std::string(filled, '#') + std::string(barWidth - filled, '-') +
                     "] " + formatted("%3.0f%%", std::floor(fraction * 100)) + "  " +
                     clockText(elapsedSeconds) + " elapsed";
  const double audioDone = fraction * audioSeconds;
  if (fraction > 0 && audioDone > 0) {
    line += "  ~" + clockText(elapsedSeconds * (1 - fraction) / fraction) + " left  " +
            formatted("%.2fx realtime", elapsedSeconds / audioDone);
  } else {
    line += "  ~-:-- left";
  }
  return line;
}

ProgressDisplay::ProgressDisplay(std::ostream& err, bool terminal, std::string label,
                                 double audioSeconds, FractionSource source)
    : err_(err),
      terminal_(terminal),
      label_(std::move(label)),
      audioSeconds_(audioSeconds),
      source_(std::move(source)) {
  if (terminal_) {
    draw(0);
    redraw_ = std::thread([this] { redrawLoop(); });
  } else {
    err_ << "kestrune: transcribing " << label_ << " (" << formatted("%.1f", audioSeconds_)
         << " s of audio)\n"
         << std::flush;
  }
}

ProgressDisplay::~ProgressDisplay() {
  finish(false);
}

double ProgressDisplay::elapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressDisplay::redrawLoop() {
  std::unique_lock guard(lock_);
  while (!finished_) {
    wake_.wait_for(guard, redrawInterval);
    if (finished_) break;
    draw(source_ ? source_() : 0);
  }
}

void ProgressDisplay::draw(double fraction) {
  if (std::isfinite(fraction)) shown_ = std::max(shown_, std::min(fraction, 1.0));
  // "\r" and erase-line keep the bar on one refreshed line.
  err_ << "\r\033[K" << progressLine(label_, shown_, elapsedSeconds(), audioSeconds_) << std::flush;
}

void ProgressDisplay::finish(bool succeeded) {
  {
    std::lock_guard guard(lock_);
    if (finished_) return;
    finished_ = true;
  }
  wake_.notify_all();
  if (redraw_.joinable()) redraw_.join();
  const double elapsed = elapsedSeconds();
  if (terminal_) {
    if (succeeded) {
      shown_ = 1;
      draw(1);
      err_ << "\n";
    } else {
      err_ << "\r\033[K";
    }
    err_ << std::flush;
    return;
  }
  if (succeeded) {
    err_ << "kestrune: " << label_ << ": done in " << formatted("%.1f", elapsed) << " s ("
         << formatted("%.2fx realtime", audioSeconds_ > 0 ? elapsed / audioSeconds_ : 0.0) << ")\n"
         << std::flush;
  }
}

}  // namespace kestrune::cli

#include "tools/kestrune/LivePrinter.hpp"

namespace kestrune::cli {

namespace {

std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\n") - begin + 1);
}

// The last `width` bytes, cut at a character boundary.
std::string tailOf(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  size_t start = text.size() - width;
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return "…" + text.substr(start);
}

std::string joinedText(const std::vector<TranscriptionSegment>& segments) {
  std::string text;
  for (const auto& segment : segments) text += segment.text;
  return trimmed(text);
}

}  // namespace

void LivePrinter::show(const AudioStreamTranscriber::State& state) {
  std::lock_guard guard(lock_);
  for (; printed_ < state.confirmedSegments.size(); ++printed_) {
    const std::string text = trimmed(state.confirmedSegments[printed_].text);
    clearTail();
    if (!text.empty()) out_ << text << '\n';
  }
  if (refreshTail_) {
    std::string tail = joinedText(state.unconfirmedSegments);
    if (tail.empty()) tail = trimmed(state.currentText);
    if (tail != shownTail_) {
      clearTail();
      out_ << tailOf(tail, 100);
      shownTail_ = tail;
    }
  }
  out_ << std::flush;
}

void LivePrinter::close(const AudioStreamTranscriber::State& state) {
  show(state);
  std::lock_guard guard(lock_);
  clearTail();
  const std::string rest = joinedText(state.unconfirmedSegments);
  if (!rest.empty()) out_ << rest << '\n';
  out_ << std::flush;
}

void LivePrinter::clearTail() {
  if (refreshTail_ && !shownTail_.empty()) out_ << "\r\033[K";
  shownTail_.clear();
}

}  // namespace kestrune::cli

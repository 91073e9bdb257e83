#pragma once

#include <any>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Kestrune/Core/TranscriptionResult.hpp"

namespace kestrune {

// Success: the written file's absolute file URL. Failure: the error that
// stopped the write (a std::filesystem::filesystem_error, or the encoding
// error of a value without a JSON form).
using WriteOutcome = std::variant<std::string, std::exception_ptr>;

using WriteOptions = std::map<std::string, std::any>;

// Writes one file per call into `outputDir`, named by the caller without
// extension. A file is first written in full beside its target and then
// renamed over it, so a reader never sees half a file; a directory that does
// not exist fails the write and leaves nothing behind.
class ResultWriting {
 public:
  virtual ~ResultWriting() = default;

  virtual const std::string& outputDir() const = 0;
  // `options` is accepted for future formats and not used.
  virtual WriteOutcome write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<WriteOptions>& options = std::nullopt) = 0;

  // "HH:MM:SS<marker>mmm", the hours left out when zero unless asked for;
  // every part is truncated in 32-bit arithmetic.
  std::string formatTime(float seconds, bool alwaysIncludeHours,
                         std::string_view decimalMarker) const;
  // A SubRip block: index, "start --> end" with hours and commas, the text
  // and a blank line.
  std::string formatSegment(int64_t index, float start, float end, std::string_view text) const;
  // A WebVTT cue: "start --> end" with dots, the text and a blank line.
  std::string formatTiming(float start, float end, std::string_view text) const;
};

// The result's JSON form, pretty-printed, as "<file>.json".
class WriteJSON : public ResultWriting {
 public:
  explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteOutcome write(const TranscriptionResult& result, const std::string& file,
                     const std::optional<WriteOptions>& options = std::nullopt) override;

 private:
  std::string outputDir_;
};

// SubRip subtitles as "<file>.srt": one block per word for segments with
// words, else one per segment.
class WriteSRT : public ResultWriting {
 public:
  explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteOutcome write(const TranscriptionResult& result, const std::string& file,
                     const std::optional<WriteOptions>& options = std::nullopt) override;

 private:
  std::string outputDir_;
};

// WebVTT subtitles as "<file>.vtt", cut like the SubRip ones.
class WriteVTT : public ResultWriting {
 public:
  explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteOutcome write(const TranscriptionResult& result, const std::string& file,
                     const std::optional<WriteOptions>& options = std::nullopt) override;

 private:
  std::string outputDir_;
};

}  // namespace kestrune

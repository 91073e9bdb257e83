#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/TranscriptionResultStruct.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"
#include "OrvaneCore/ConcurrencyUtilities.hpp"

namespace kestrune {

// The finished result of a transcription, shared between the tasks that fill
// and merge it (hold it by std::shared_ptr). Each property has its own lock:
// a read returns a copy taken under that lock, a write replaces the value
// under it, so a reader of the segments never waits for a writer of the
// timings. `modify…` is a locked read, the change and a locked write; use
// `with…Lock` for an atomic read-modify-write.
class TranscriptionResult {
 public:
  TranscriptionResult() = default;
  TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                      std::string language, TranscriptionTimings timings,
                      std::optional<float> seekTime = std::nullopt);
  explicit TranscriptionResult(const TranscriptionResultStruct& plain);

  static std::shared_ptr<TranscriptionResult> make(std::string text,
                                                   std::vector<TranscriptionSegment> segments,
                                                   std::string language,
                                                   TranscriptionTimings timings,
                                                   std::optional<float> seekTime = std::nullopt);

  std::string text() const { return text_.get(); }
  void setText(std::string value) { text_.set(std::move(value)); }
  std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
  void setSegments(std::vector<TranscriptionSegment> value) { segments_.set(std::move(value)); }
  std::string language() const { return language_.get(); }
  void setLanguage(std::string value) { language_.set(std::move(value)); }
  TranscriptionTimings timings() const { return timings_.get(); }
  void setTimings(TranscriptionTimings value) { timings_.set(std::move(value)); }
  std::optional<float> seekTime() const { return seekTime_.get(); }
  void setSeekTime(std::optional<float> value) { seekTime_.set(value); }

  template <typename Change>
  void modifyText(Change&& change) {
    text_.modify(std::forward<Change>(change));
  }
  template <typename Change>
  void modifySegments(Change&& change) {
    segments_.modify(std::forward<Change>(change));
  }
  template <typename Change>
  void modifyTimings(Change&& change) {
    timings_.modify(std::forward<Change>(change));
  }
  template <typename Body>
  auto withSegmentsLock(Body&& body) {
    return segments_.withLock(std::forward<Body>(body));
  }
  template <typename Body>
  auto withTimingsLock(Body&& body) {
    return timings_.withLock(std::forward<Body>(body));
  }

  // The words of every segment that has them, in segment order.
  std::vector<WordTiming> allWords() const;

  // One debug line per segment: "[Segment i] [start --> end] text".
  void logSegments() const;
  // The timings report at info level.
  void logTimings() const;
  // The text logTimings() logs.
  std::string timingsReport() const;

  TranscriptionResultStruct toStruct() const;

  // Like TranscriptionResultStruct's form, but "seekTime" is always written
  // (null when absent) and required on reading (null allowed).
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  static std::shared_ptr<TranscriptionResult> decode(const nlohmann::json& json,
                                                     const std::string& path = "");
  static std::shared_ptr<TranscriptionResult> fromJSON(std::string_view json);

 private:
  orvane::PropertyLock<std::string> text_;
  orvane::PropertyLock<std::vector<TranscriptionSegment>> segments_;
  orvane::PropertyLock<std::string> language_;
  orvane::PropertyLock<TranscriptionTimings> timings_;
  orvane::PropertyLock<std::optional<float>> seekTime_;
};

}  // namespace kestrune

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/Kestrune.hpp"

namespace orvane {
class Progress;
}

namespace kestrune::cli {

// The engine as the tool runs it: it keeps the progress of every
// transcription task it starts, so that a display can tell how many samples
// of the current file are done, whether the file runs as one task, as
// voice-activity chunks or as streamed pieces.
class ToolEngine : public Kestrune {
 public:
  std::shared_ptr<TranscribeTask> setupTranscribeTask(
      TranscriptionTimings currentTimings, std::shared_ptr<orvane::Progress> progress,
      std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
      std::shared_ptr<FeatureExtracting> featureExtractor,
      std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
      std::shared_ptr<const WhisperTokenizer> tokenizer) override;

  // Forgets the tasks of the previous file.
  void resetSamplesDone();
  // Samples done by every task started since the last reset.
  int64_t samplesDone() const;

 protected:
  explicit ToolEngine(const KestruneConfig& config) : Kestrune(config) {}

 private:
  mutable std::mutex tasksLock_;
  std::vector<std::shared_ptr<orvane::Progress>> taskProgress_;
};

// Builds and loads the engine on a model folder. A missing folder, missing
// model files or models that do not load become CommandFailure with advice
// on how to get a model; no folder at all is a UsageFailure.
std::shared_ptr<ToolEngine> loadEngine(const std::optional<std::string>& modelFolder);

}  // namespace kestrune::cli

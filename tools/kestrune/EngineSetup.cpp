#include "tools/kestrune/EngineSetup.hpp"

#include <filesystem>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Progress.hpp"
#include "OrvaneCore/TypedError.hpp"
#include "tools/kestrune/CommandFailure.hpp"

namespace kestrune::cli {

std::string describe(const std::exception& error) {
  if (const auto* whisper = dynamic_cast<const WhisperError*>(&error)) return whisper->message();
  return orvane::errorText(error);
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& caught) {
    return describe(caught);
  } catch (...) {
    return "unknown error";
  }
}

std::shared_ptr<TranscribeTask> ToolEngine::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<orvane::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer) {
  if (progress) {
    std::lock_guard guard(tasksLock_);
    taskProgress_.push_back(progress);
  }
  return Kestrune::setupTranscribeTask(currentTimings, std::move(progress),
                                       std::move(audioProcessor), std::move(audioEncoder),
                                       std::move(featureExtractor), std::move(segmentSeeker),
                                       std::move(textDecoder), std::move(tokenizer));
}

void ToolEngine::resetSamplesDone() {
  std::lock_guard guard(tasksLock_);
  taskProgress_.clear();
}

int64_t ToolEngine::samplesDone() const {
  std::lock_guard guard(tasksLock_);
  int64_t done = 0;
  for (const auto& progress : taskProgress_) done += progress->completedUnitCount();
  return done;
}

std::shared_ptr<ToolEngine> loadEngine(const std::optional<std::string>& modelFolder) {
  if (!modelFolder || modelFolder->empty()) {
    throw UsageFailure(
        std::string("no model folder given: pass --model DIR or set KESTRUNE_MODEL; ") +
        modelAdvice);
  }
  std::error_code error;
  if (!std::filesystem::is_directory(*modelFolder, error)) {
    throw CommandFailure("model folder " + *modelFolder + " does not exist; " + modelAdvice);
  }
  KestruneConfig config;
  config.modelFolder = *modelFolder;
  config.download = false;
  config.load = true;
  config.verbose = false;
  try {
    return Kestrune::create<ToolEngine>(config);
  } catch (const WhisperError& failure) {
    if (failure.kind() == WhisperError::Case::modelsUnavailable) {
      throw CommandFailure("no usable model in " + *modelFolder + ": " + failure.message() + "; " +
                           modelAdvice);
    }
    throw CommandFailure("cannot load the model in " + *modelFolder + ": " + failure.message());
  } catch (const std::exception& failure) {
    throw CommandFailure("cannot load the model in " + *modelFolder + ": " + describe(failure));
  }
}

}  // namespace kestrune::cli

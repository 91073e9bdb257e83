#include "Kestrune/Utilities/WhisperError.hpp"

#include "OrvaneCore/Logging.hpp"

namespace kestrune {

std::string_view WhisperError::caseName(Case kind) {
  switch (kind) {
    case Case::tokenizerUnavailable: return "tokenizerUnavailable";
    case Case::modelsUnavailable: return "modelsUnavailable";
    case Case::audioProcessingFailed: return "audioProcessingFailed";
    case Case::decodingLogitsFailed: return "decodingLogitsFailed";
    case Case::segmentingFailed: return "segmentingFailed";
    case Case::loadAudioFailed: return "loadAudioFailed";
    case Case::prepareDecoderInputsFailed: return "prepareDecoderInputsFailed";
    case Case::transcriptionFailed: return "transcriptionFailed";
    case Case::decodingFailed: return "decodingFailed";
    case Case::microphoneUnavailable: return "microphoneUnavailable";
    case Case::initializationError: return "initializationError";
  }
  return "unknown";
}

WhisperError::WhisperError(Case kind, std::string message)
    : TypedError(std::string(caseName(kind)), {orvane::debugQuoted(message)}),
      kind_(kind),
      message_(std::move(message)) {}

std::string WhisperError::errorDescription() const {
  orvane::Logging::error(message_);
  return message_;
}

}  // namespace kestrune

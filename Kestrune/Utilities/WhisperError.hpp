#pragma once

#include <string>
#include <string_view>

#include "OrvaneCore/TypedError.hpp"

namespace kestrune {

// The engine's error kind: a case and its message. what() gives the default
// text form, for example modelsUnavailable("Model file not found at /m").
class WhisperError : public orvane::TypedError {
 public:
  enum class Case {
    tokenizerUnavailable,
    modelsUnavailable,
    audioProcessingFailed,
    decodingLogitsFailed,
    segmentingFailed,
    loadAudioFailed,
    prepareDecoderInputsFailed,
    transcriptionFailed,
    decodingFailed,
    microphoneUnavailable,
    initializationError,
  };

  WhisperError(Case kind, std::string message);

  static WhisperError tokenizerUnavailable(std::string message = "Tokenizer is unavailable") {
    return {Case::tokenizerUnavailable, std::move(message)};
  }
  static WhisperError modelsUnavailable(std::string message = "Models are unavailable") {
    return {Case::modelsUnavailable, std::move(message)};
  }
  static WhisperError audioProcessingFailed(std::string message) {
    return {Case::audioProcessingFailed, std::move(message)};
  }
  static WhisperError decodingLogitsFailed(std::string message = "Unable to decode logits") {
    return {Case::decodingLogitsFailed, std::move(message)};
  }
  static WhisperError segmentingFailed(std::string message) {
    return {Case::segmentingFailed, std::move(message)};
  }
  static WhisperError loadAudioFailed(std::string message) {
    return {Case::loadAudioFailed, std::move(message)};
  }
  static WhisperError prepareDecoderInputsFailed(std::string message) {
    return {Case::prepareDecoderInputsFailed, std::move(message)};
  }
  static WhisperError transcriptionFailed(std::string message) {
    return {Case::transcriptionFailed, std::move(message)};
  }
  static WhisperError decodingFailed(std::string message = "Decoding failed") {
    return {Case::decodingFailed, std::move(message)};
  }
  static WhisperError microphoneUnavailable(std::string message) {
    return {Case::microphoneUnavailable, std::move(message)};
  }
  static WhisperError initializationError(std::string message) {
    return {Case::initializationError, std::move(message)};
  }

  static std::string_view caseName(Case kind);

  Case kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // The message; reading it also logs the message at error level.
  std::string errorDescription() const override;
  bool operator==(const WhisperError& other) const {
    return kind_ == other.kind_ && message_ == other.message_;
  }

 private:
  Case kind_;
  std::string message_;
};

}  // namespace kestrune

#pragma once

#include <string>

#include "OrvaneCore/TypedError.hpp"

namespace orvane {

// Errors of building a tokenizer. Configuration faults of the pipeline's
// components (an unsupported type, a required key missing) are raised as
// mismatchedConfig with their fixed message.
class TokenizerError : public TypedError {
 public:
  enum class Case {
    unsupportedTokenizer,
    tooLong,
    mismatchedConfig,
    missingConfig,
    missingTokenizerClassInConfig,
    missingVocab,
    malformedVocab,
  };

  static TokenizerError unsupportedTokenizer(std::string name);
  static TokenizerError tooLong(std::string text);
  static TokenizerError mismatchedConfig(std::string text);
  static TokenizerError missingConfig();
  static TokenizerError missingTokenizerClassInConfig();
  static TokenizerError missingVocab();
  static TokenizerError malformedVocab();

  Case kind() const noexcept { return kind_; }
  const std::string& detail() const noexcept { return detail_; }
  std::string errorDescription() const override;
  bool operator==(const TokenizerError& other) const {
    return kind_ == other.kind_ && detail_ == other.detail_;
  }

 private:
  TokenizerError(Case kind, std::string caseName, std::string detail, bool hasPayload);

  Case kind_;
  std::string detail_;
};

}  // namespace orvane

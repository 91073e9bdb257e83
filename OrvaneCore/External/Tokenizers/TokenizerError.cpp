#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {

TokenizerError::TokenizerError(Case kind, std::string caseName, std::string detail, bool hasPayload)
    : TypedError(std::move(caseName), hasPayload ? std::vector<std::string>{debugQuoted(detail)}
                                                 : std::vector<std::string>{}),
      kind_(kind),
      detail_(std::move(detail)) {}

TokenizerError TokenizerError::unsupportedTokenizer(std::string name) {
  return {Case::unsupportedTokenizer, "unsupportedTokenizer", std::move(name), true};
}
TokenizerError TokenizerError::tooLong(std::string text) {
  return {Case::tooLong, "tooLong", std::move(text), true};
}
TokenizerError TokenizerError::mismatchedConfig(std::string text) {
  return {Case::mismatchedConfig, "mismatchedConfig", std::move(text), true};
}
TokenizerError TokenizerError::missingConfig() {
  return {Case::missingConfig, "missingConfig", {}, false};
}
TokenizerError TokenizerError::missingTokenizerClassInConfig() {
  return {Case::missingTokenizerClassInConfig, "missingTokenizerClassInConfig", {}, false};
}
TokenizerError TokenizerError::missingVocab() {
  return {Case::missingVocab, "missingVocab", {}, false};
}
TokenizerError TokenizerError::malformedVocab() {
  return {Case::malformedVocab, "malformedVocab", {}, false};
}

std::string TokenizerError::errorDescription() const {
  switch (kind_) {
    // Error when tokenizer type is not supported
    case Case::unsupportedTokenizer:
      return "The tokenizer type '" + detail_ + "' is not supported.";
    // Error when input exceeds maximum length
    case Case::tooLong: return "Input is too long: " + detail_;
    // Error when tokenizer configuration is inconsistent
    case Case::mismatchedConfig: return "Tokenizer configuration mismatch: " + detail_;
    // Error when tokenizer config cannot be found
    case Case::missingConfig: return "Tokenizer configuration is missing.";
    // Error when tokenizer_class is missing in config
    case Case::missingTokenizerClassInConfig:
      return "The tokenizer class is not specified in the configuration.";
    // Error when vocab file is missing
    case Case::missingVocab: return "Vocabulary file is missing from the tokenizer configuration.";
    // Error when vocab file is malformed
    case Case::malformedVocab: return "The vocabulary file is malformed or corrupted.";
  }
  return {};
}

}  // namespace orvane

#include "OrvaneCore/TokenizerWrapper.hpp"

#include <stdexcept>

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {

TokenizerWrapper::TokenizerWrapper(std::shared_ptr<const Tokenizer> tokenizer)
    : tokenizer_(std::move(tokenizer)) {
  if (!tokenizer_) throw std::invalid_argument("TokenizerWrapper needs a tokenizer");
}

TokenizerWrapper AutoTokenizerWrapper::from(const std::filesystem::path& modelFolder, bool strict) {
  return from(LanguageModelConfigurationFromHub(modelFolder), strict);
}

TokenizerWrapper AutoTokenizerWrapper::from(const LanguageModelConfigurationFromHub& configuration,
                                            bool strict) {
  const std::optional<Config> tokenizerConfig = configuration.tokenizerConfig();
  if (!tokenizerConfig) throw TokenizerError::missingConfig();
  const Config tokenizerData = configuration.tokenizerData();
  return TokenizerWrapper(AutoTokenizer::from(*tokenizerConfig, tokenizerData, strict));
}

}  // namespace orvane

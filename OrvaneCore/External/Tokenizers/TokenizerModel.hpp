#pragma once

#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizingModel.hpp"

namespace orvane {

// The choice of tokenizing model from the tokenizer configuration.
struct TokenizerModel {
  // The model of the configuration's `tokenizer_class` ("Fast" removed).
  // Throws TokenizerError.missingTokenizerClassInConfig without a class; an
  // unknown class fails with unsupportedTokenizer when `strict`, else a
  // warning is printed and the BPE model is used.
  static std::shared_ptr<const TokenizingModel> from(const Config& tokenizerConfig,
                                                     const Config& tokenizerData,
                                                     const AddedTokenMap& addedTokens, bool strict);
  // Whether the class table knows `className` (after removing "Fast").
  static bool isKnownClass(const std::string& className);
  // The text at `unk_token.content`, else at `unk_token`.
  static std::optional<std::string> unknownToken(const Config& tokenizerConfig);
};

// A token given as a string or as a dictionary with a string `content`.
std::optional<std::string> addedTokenAsString(const Config& token);

// The name with every "Fast" removed.
std::string removingFast(std::string name);

}  // namespace orvane

#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

enum class PreTokenizerOption {
  // The text is the first section of the input.
  firstSection,
};
using PreTokenizerOptions = std::set<PreTokenizerOption>;

// Splits text into the words that the tokenizing model sees one at a time.
class PreTokenizer {
 public:
  virtual ~PreTokenizer() = default;
  virtual std::vector<std::string> preTokenize(std::string_view text,
                                               const PreTokenizerOptions& options) const = 0;
  // Each text pre-tokenized, the words concatenated.
  std::vector<std::string> preTokenizeTexts(const std::vector<std::string>& texts,
                                            const PreTokenizerOptions& options) const;
  std::vector<std::string> operator()(std::string_view text,
                                      const PreTokenizerOptions& options = {}) const {
    return preTokenize(text, options);
  }
  std::vector<std::string> operator()(const std::vector<std::string>& texts,
                                      const PreTokenizerOptions& options = {}) const {
    return preTokenizeTexts(texts, options);
  }
};

struct PreTokenizerFactory {
  // None for a null configuration or one without a string `type`; an unknown
  // type is a configuration fault (TokenizerError.mismatchedConfig).
  static std::shared_ptr<const PreTokenizer> fromConfig(const Config& config);
};

}  // namespace orvane

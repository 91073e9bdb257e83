#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

// Completes a tokenized input, typically by adding special tokens.
class PostProcessor {
 public:
  virtual ~PostProcessor() = default;
  virtual std::vector<std::string> postProcess(
      const std::vector<std::string>& tokens,
      const std::optional<std::vector<std::string>>& tokensPair, bool addSpecialTokens) const = 0;
  std::vector<std::string> operator()(
      const std::vector<std::string>& tokens,
      const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
      bool addSpecialTokens = true) const {
    return postProcess(tokens, tokensPair, addSpecialTokens);
  }
};

struct PostProcessorFactory {
  // None for a null configuration or one without a string `type`; an unknown
  // type is a configuration fault (TokenizerError.mismatchedConfig).
  static std::shared_ptr<const PostProcessor> fromConfig(const Config& config);
};

}  // namespace orvane

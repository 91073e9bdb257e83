#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

// Turns the token strings of decoded ids back into text pieces.
class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
  std::vector<std::string> operator()(const std::vector<std::string>& tokens) const {
    return decode(tokens);
  }
};

struct DecoderFactory {
  // None for a null configuration or one without a string `type`; an unknown
  // type is a configuration fault (TokenizerError.mismatchedConfig).
  // `addedTokens` reaches only a ByteLevel decoder made here directly, which
  // passes those tokens through unchanged.
  static std::shared_ptr<const Decoder> fromConfig(
      const Config& config, const std::unordered_set<std::string>& addedTokens = {});
};

}  // namespace orvane

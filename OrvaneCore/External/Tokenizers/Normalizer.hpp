#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

// Turns input text into the text that is split into words.
class Normalizer {
 public:
  virtual ~Normalizer() = default;
  virtual std::string normalize(std::string_view text) const = 0;
  std::string operator()(std::string_view text) const { return normalize(text); }
};

struct NormalizerFactory {
  // The normalizer named by the configuration's `type`; none for a null
  // configuration or one without a string `type`. An unknown type is a
  // configuration fault (TokenizerError.mismatchedConfig).
  static std::shared_ptr<const Normalizer> fromConfig(const Config& config);
};

}  // namespace orvane

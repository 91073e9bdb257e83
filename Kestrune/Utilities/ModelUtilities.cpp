#include "Kestrune/Utilities/ModelUtilities.hpp"

#include <array>
#include <optional>
#include <string>
#include <system_error>

#include "OrvaneCore/Logging.hpp"

namespace kestrune::ModelUtilities {

namespace {

constexpr int englishVocabulary = 51864;
constexpr int multilingualVocabulary = 51865;
constexpr int largeV3Vocabulary = 51866;

// Encoder widths step by 128 from tiny's 384.
std::optional<int> widthStep(int encoderDim) {
  const int above = encoderDim - 384;
  if (above < 0 || above % 128 != 0) return std::nullopt;
  return above / 128;
}

template <std::size_t N>
ModelVariant pick(const std::array<ModelVariant, N>& bySteps, std::optional<int> step,
                  ModelVariant otherwise) {
  if (!step || *step >= static_cast<int>(N)) return otherwise;
  return bySteps[static_cast<std::size_t>(*step)];
}

}  // namespace

ModelVariant detectVariant(int logitsDim, int encoderDim) {
  using V = ModelVariant;
  const std::optional<int> step = widthStep(encoderDim);
  switch (logitsDim) {
    case englishVocabulary: {
      static constexpr std::array english = {V::tinyEn,  V::baseEn, V::baseEn,
                                             V::smallEn, V::baseEn, V::mediumEn};
      return pick(english, step, V::baseEn);
    }
    case multilingualVocabulary: {
      static constexpr std::array multilingual = {V::tiny, V::base,   V::base, V::small,
                                                  V::base, V::medium, V::base, V::largev2};
      return pick(multilingual, step, V::base);
    }
    case largeV3Vocabulary: return V::largev3;
    default:
      orvane::Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) +
                             ", defaulting to base variant");
      return V::base;
  }
}

std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name) {
  const std::string stem(name);
  const std::filesystem::path compiled = folder / (stem + ".mlmodelc");
  std::error_code error;
  if (std::filesystem::exists(compiled, error)) return compiled;
  const std::filesystem::path packaged =
      folder / (stem + ".mlpackage") / "Data" / "com.apple.CoreML" / "model.mlmodel";
  if (std::filesystem::exists(packaged, error)) return packaged;
  return compiled;
}

}  // namespace kestrune::ModelUtilities

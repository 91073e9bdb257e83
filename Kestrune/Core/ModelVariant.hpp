#pragma once

#include <array>
#include <optional>
#include <ostream>
#include <string_view>

namespace kestrune {

// The sizes of the Whisper model family. The order is that of allCases.
enum class ModelVariant {
  tiny,
  tinyEn,
  base,
  baseEn,
  small,
  smallEn,
  medium,
  mediumEn,
  large,
  largev2,
  largev3,
};

namespace model_variant {

inline constexpr std::array<ModelVariant, 11> allCases = {
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,    ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium,  ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3,
};

// The name the family uses for the size, as in "tiny.en" or "large-v3".
std::string_view description(ModelVariant variant);
// Whether the variant knows languages other than English.
bool isMultilingual(ModelVariant variant);
// The variant whose description is `text`, if any.
std::optional<ModelVariant> fromDescription(std::string_view text);

}  // namespace model_variant

// Log lines and messages show the description.
std::ostream& operator<<(std::ostream& out, ModelVariant variant);

}  // namespace kestrune

#include "Kestrune/Core/ModelVariant.hpp"

namespace kestrune {

namespace model_variant {

std::string_view description(ModelVariant variant) {
  switch (variant) {
    case ModelVariant::tiny: return "tiny";
    case ModelVariant::tinyEn: return "tiny.en";
    case ModelVariant::base: return "base";
    case ModelVariant::baseEn: return "base.en";
    case ModelVariant::small: return "small";
    case ModelVariant::smallEn: return "small.en";
    case ModelVariant::medium: return "medium";
    case ModelVariant::mediumEn: return "medium.en";
    case ModelVariant::large: return "large";
    case ModelVariant::largev2: return "large-v2";
    case ModelVariant::largev3: return "large-v3";
  }
  return "base";
}

bool isMultilingual(ModelVariant variant) {
  switch (variant) {
    case ModelVariant::tinyEn:
    case ModelVariant::baseEn:
    case ModelVariant::smallEn:
    case ModelVariant::mediumEn: return false;
    default: return true;
  }
}

std::optional<ModelVariant> fromDescription(std::string_view text) {
  for (const ModelVariant variant : allCases) {
    if (description(variant) == text) return variant;
  }
  return std::nullopt;
}

}  // namespace model_variant

std::ostream& operator<<(std::ostream& out, ModelVariant variant) {
  return out << model_variant::description(variant);
}

}  // namespace kestrune

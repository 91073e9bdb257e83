#include "Kestrune/Core/TextDecoderModelIO.hpp"

#include <map>

namespace kestrune {

using platform::ml::MLFeatureValue;

std::set<std::string> TextDecoderInput::featureNames() const {
  namespace F = TextDecoderFeatures;
  return {std::string(F::inputIds),
          std::string(F::cacheLength),
          std::string(F::keyCache),
          std::string(F::valueCache),
          std::string(F::kvCacheUpdateMask),
          std::string(F::encoderOutputEmbeds),
          std::string(F::decoderKeyPaddingMask)};
}

std::optional<MLFeatureValue> TextDecoderInput::featureValue(std::string_view name) const {
  namespace F = TextDecoderFeatures;
  const std::pair<std::string_view, const MLMultiArray*> features[] = {
      {F::inputIds, &arrays_.inputIds},
      {F::cacheLength, &arrays_.cacheLength},
      {F::keyCache, &arrays_.keyCache},
      {F::valueCache, &arrays_.valueCache},
      {F::kvCacheUpdateMask, &arrays_.kvCacheUpdateMask},
      {F::encoderOutputEmbeds, &arrays_.encoderOutputEmbeds},
      {F::decoderKeyPaddingMask, &arrays_.decoderKeyPaddingMask},
  };
  for (const auto& [featureName, array] : features) {
    if (featureName == name) return MLFeatureValue(*array);
  }
  return std::nullopt;
}

TextDecoderOutput::TextDecoderOutput(MLMultiArray logits, MLMultiArray keyCacheUpdates,
                                     MLMultiArray valueCacheUpdates) {
  namespace F = TextDecoderFeatures;
  std::map<std::string, MLFeatureValue, std::less<>> dictionary;
  dictionary.emplace(F::logits, MLFeatureValue(std::move(logits)));
  dictionary.emplace(F::keyCacheUpdates, MLFeatureValue(std::move(keyCacheUpdates)));
  dictionary.emplace(F::valueCacheUpdates, MLFeatureValue(std::move(valueCacheUpdates)));
  provider_ = std::make_shared<platform::ml::MLDictionaryFeatureProvider>(std::move(dictionary));
}

std::optional<MLMultiArray> TextDecoderOutput::array(std::string_view name) const {
  const auto value = provider_->featureValue(name);
  if (!value) return std::nullopt;
  return value->multiArrayValue();
}

std::optional<MLMultiArray> TextDecoderOutput::logits() const {
  return array(TextDecoderFeatures::logits);
}
std::optional<MLMultiArray> TextDecoderOutput::keyCacheUpdates() const {
  return array(TextDecoderFeatures::keyCacheUpdates);
}
std::optional<MLMultiArray> TextDecoderOutput::valueCacheUpdates() const {
  return array(TextDecoderFeatures::valueCacheUpdates);
}
std::optional<MLMultiArray> TextDecoderOutput::alignmentHeadsWeights() const {
  return array(TextDecoderFeatures::alignmentHeadsWeights);
}

namespace {
std::optional<platform::ml::MLShapedArray<platform::ml::Float16>> shaped(
    const std::optional<MLMultiArray>& array) {
  if (!array) return std::nullopt;
  return platform::ml::MLShapedArray<platform::ml::Float16>(*array);
}
}  // namespace

std::optional<platform::ml::MLShapedArray<platform::ml::Float16>>
TextDecoderOutput::logitsShapedArray() const {
  return shaped(logits());
}
std::optional<platform::ml::MLShapedArray<platform::ml::Float16>>
TextDecoderOutput::keyCacheUpdatesShapedArray() const {
  return shaped(keyCacheUpdates());
}
std::optional<platform::ml::MLShapedArray<platform::ml::Float16>>
TextDecoderOutput::valueCacheUpdatesShapedArray() const {
  return shaped(valueCacheUpdates());
}
std::optional<platform::ml::MLShapedArray<platform::ml::Float16>>
TextDecoderOutput::alignmentHeadsWeightsShapedArray() const {
  return shaped(alignmentHeadsWeights());
}

}  // namespace kestrune

#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Kestrune/Core/DecodingInputs.hpp"
#include "Platform/ML/MLFeatureProvider.hpp"
#include "Platform/ML/MLShapedArray.hpp"

namespace kestrune {

// The decoder model's tensor names.
namespace TextDecoderFeatures {
inline constexpr std::string_view inputIds = "input_ids";
inline constexpr std::string_view cacheLength = "cache_length";
inline constexpr std::string_view keyCache = "key_cache";
inline constexpr std::string_view valueCache = "value_cache";
inline constexpr std::string_view kvCacheUpdateMask = "kv_cache_update_mask";
inline constexpr std::string_view encoderOutputEmbeds = "encoder_output_embeds";
inline constexpr std::string_view decoderKeyPaddingMask = "decoder_key_padding_mask";
inline constexpr std::string_view logits = "logits";
inline constexpr std::string_view keyCacheUpdates = "key_cache_updates";
inline constexpr std::string_view valueCacheUpdates = "value_cache_updates";
inline constexpr std::string_view alignmentHeadsWeights = "alignment_heads_weights";
}  // namespace TextDecoderFeatures

// Markers for what a text decoder takes and gives per prediction, so that a
// replacement decoder may use its own kinds of values.
class TextDecoderInputType {
 public:
  virtual ~TextDecoderInputType() = default;
};
class TextDecoderOutputType {
 public:
  virtual ~TextDecoderOutputType() = default;
};

// The seven decoder inputs as multi-arrays (handles, not copies).
struct TextDecoderMLMultiArrayInputType final : TextDecoderInputType {
  TextDecoderMLMultiArrayInputType(MLMultiArray inputIds, MLMultiArray cacheLength,
                                   MLMultiArray keyCache, MLMultiArray valueCache,
                                   MLMultiArray kvCacheUpdateMask, MLMultiArray encoderOutputEmbeds,
                                   MLMultiArray decoderKeyPaddingMask)
      : inputIds(std::move(inputIds)),
        cacheLength(std::move(cacheLength)),
        keyCache(std::move(keyCache)),
        valueCache(std::move(valueCache)),
        kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
        encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
        decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

  MLMultiArray inputIds;
  MLMultiArray cacheLength;
  MLMultiArray keyCache;
  MLMultiArray valueCache;
  MLMultiArray kvCacheUpdateMask;
  MLMultiArray encoderOutputEmbeds;
  MLMultiArray decoderKeyPaddingMask;
};

// One prediction's logits and cache slices; both absent when no model ran.
struct TextDecoderMLMultiArrayOutputType final : TextDecoderOutputType {
  std::optional<MLMultiArray> logits{};
  std::optional<DecodingCache> cache{};
};

// The feature provider handed to the model: answers exactly the seven
// input names.
class TextDecoderInput final : public platform::ml::MLFeatureProvider {
 public:
  explicit TextDecoderInput(TextDecoderMLMultiArrayInputType arrays) : arrays_(std::move(arrays)) {}

  std::set<std::string> featureNames() const override;
  std::optional<platform::ml::MLFeatureValue> featureValue(std::string_view name) const override;

 private:
  TextDecoderMLMultiArrayInputType arrays_;
};

// The model's output provider with its four outputs by name; each accessor
// is none when the output is missing or is not a multi-array.
class TextDecoderOutput {
 public:
  explicit TextDecoderOutput(std::shared_ptr<const platform::ml::MLFeatureProvider> provider)
      : provider_(std::move(provider)) {}
  // A dictionary provider holding the three required outputs.
  TextDecoderOutput(MLMultiArray logits, MLMultiArray keyCacheUpdates,
                    MLMultiArray valueCacheUpdates);

  const platform::ml::MLFeatureProvider& provider() const noexcept { return *provider_; }
  std::optional<MLMultiArray> logits() const;
  std::optional<MLMultiArray> keyCacheUpdates() const;
  std::optional<MLMultiArray> valueCacheUpdates() const;
  std::optional<MLMultiArray> alignmentHeadsWeights() const;
  // The same outputs as Float16 element copies in row-major order.
  std::optional<platform::ml::MLShapedArray<platform::ml::Float16>> logitsShapedArray() const;
  std::optional<platform::ml::MLShapedArray<platform::ml::Float16>> keyCacheUpdatesShapedArray()
      const;
  std::optional<platform::ml::MLShapedArray<platform::ml::Float16>> valueCacheUpdatesShapedArray()
      const;
  std::optional<platform::ml::MLShapedArray<platform::ml::Float16>>
  alignmentHeadsWeightsShapedArray() const;

 private:
  std::optional<MLMultiArray> array(std::string_view name) const;

  std::shared_ptr<const platform::ml::MLFeatureProvider> provider_;
};

}  // namespace kestrune

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

using platform::ml::MLMultiArray;

// What the decoding loop needs of a decoder input state. Multi-arrays are
// handles: writing through a returned array changes the state itself.
class DecodingInputsType {
 public:
  virtual ~DecodingInputsType() = default;

  virtual const std::vector<int64_t>& initialPrompt() const = 0;
  virtual void setInitialPrompt(std::vector<int64_t> prompt) = 0;
  virtual const MLMultiArray& inputIds() const = 0;
  virtual void setInputIds(MLMultiArray inputIds) = 0;
  virtual const MLMultiArray& cacheLength() const = 0;
  virtual void setCacheLength(MLMultiArray cacheLength) = 0;
  // Returns the masks and the position to their freshly prepared state for
  // the first `maxTokenContext` positions.
  virtual void reset(int64_t maxTokenContext) = 0;
};

// The decoder's per-transcription input state: the prompt, the current token
// and position, the key/value caches, the alignment store and the two masks.
// Shared by reference (std::shared_ptr) between the task and the decoder;
// used by one decoding loop at a time.
class DecodingInputs final : public DecodingInputsType {
 public:
  // Shapes: inputIds and cacheLength [1] Int32; caches [1, D, 1, S] Float16;
  // alignmentWeights [S, W] Float16; kvCacheUpdateMask [1, S] Int32;
  // decoderKeyPaddingMask [1, S] Float16.
  DecodingInputs(std::vector<int64_t> initialPrompt, MLMultiArray inputIds,
                 MLMultiArray cacheLength, MLMultiArray keyCache, MLMultiArray valueCache,
                 MLMultiArray alignmentWeights, MLMultiArray kvCacheUpdateMask,
                 MLMultiArray decoderKeyPaddingMask);

  const std::vector<int64_t>& initialPrompt() const override { return initialPrompt_; }
  void setInitialPrompt(std::vector<int64_t> prompt) override {
    initialPrompt_ = std::move(prompt);
  }
  const MLMultiArray& inputIds() const override { return inputIds_; }
  void setInputIds(MLMultiArray inputIds) override { inputIds_ = std::move(inputIds); }
  const MLMultiArray& cacheLength() const override { return cacheLength_; }
  void setCacheLength(MLMultiArray cacheLength) override { cacheLength_ = std::move(cacheLength); }
  const MLMultiArray& keyCache() const noexcept { return keyCache_; }
  const MLMultiArray& valueCache() const noexcept { return valueCache_; }
  const MLMultiArray& alignmentWeights() const noexcept { return alignmentWeights_; }
  const MLMultiArray& kvCacheUpdateMask() const noexcept { return kvCacheUpdateMask_; }
  const MLMultiArray& decoderKeyPaddingMask() const noexcept { return decoderKeyPaddingMask_; }

  // Positions at or beyond the cache length are left alone; the caches and
  // inputIds keep their contents (the masks hide stale entries).
  void reset(int64_t maxTokenContext) override;

  // The bookkeeping after the step at `position` was cached: that position
  // becomes attendable history and the next one is where the model writes.
  // Touches two mask positions (nothing beyond the cache length).
  void advanceMasks(int64_t position);

 private:
  std::vector<int64_t> initialPrompt_;
  MLMultiArray inputIds_;
  MLMultiArray cacheLength_;
  MLMultiArray keyCache_;
  MLMultiArray valueCache_;
  MLMultiArray alignmentWeights_;
  MLMultiArray kvCacheUpdateMask_;
  MLMultiArray decoderKeyPaddingMask_;
};

// Key/value cache arrays. As a model result it holds the update slices; in a
// decoding result the full decoder caches and, when any alignment row was
// received, the alignment store.
struct DecodingCache {
  std::optional<MLMultiArray> keyCache{};
  std::optional<MLMultiArray> valueCache{};
  std::optional<MLMultiArray> alignmentWeights{};
};

// The value a padding-mask position holds while it may not be attended.
inline constexpr float maskedPaddingValue = -10000.0f;

}  // namespace kestrune

#include "Kestrune/Core/DecodingInputs.hpp"

#include <algorithm>

namespace kestrune {

namespace {

using platform::ml::Float16;

// Element `position` of the last dimension of a [1, S] mask, written through
// the raw storage; positions outside the mask are ignored.
template <typename T>
void setMaskValue(const MLMultiArray& mask, int64_t position, T value) {
  const int64_t length = mask.shape().back();
  if (position < 0 || position >= length) return;
  mask.data<T>()[position * mask.strides().back()] = value;
}

}  // namespace

DecodingInputs::DecodingInputs(std::vector<int64_t> initialPrompt, MLMultiArray inputIds,
                               MLMultiArray cacheLength, MLMultiArray keyCache,
                               MLMultiArray valueCache, MLMultiArray alignmentWeights,
                               MLMultiArray kvCacheUpdateMask, MLMultiArray decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(int64_t maxTokenContext) {
  const int64_t positions = std::max<int64_t>(1, maxTokenContext);
  cacheLength_.data<int32_t>()[0] = 0;
  setMaskValue(decoderKeyPaddingMask_, 0, Float16(0));
  setMaskValue(kvCacheUpdateMask_, 0, int32_t{1});
  for (int64_t position = 1; position < positions; ++position) {
    setMaskValue(decoderKeyPaddingMask_, position, Float16(maskedPaddingValue));
    setMaskValue(kvCacheUpdateMask_, position, int32_t{0});
  }
}

void DecodingInputs::advanceMasks(int64_t position) {
  setMaskValue(decoderKeyPaddingMask_, position + 1, Float16(0));
  setMaskValue(kvCacheUpdateMask_, position, int32_t{0});
  setMaskValue(kvCacheUpdateMask_, position + 1, int32_t{1});
}

}  // namespace kestrune

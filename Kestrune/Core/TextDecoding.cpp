#include "Kestrune/Core/TextDecoding.hpp"

#include <algorithm>
#include <cstring>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace kestrune {

namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArrayDataType;

constexpr int64_t maxPromptTokens = 111;
constexpr int64_t maxPrefixTokens = 112;
constexpr int64_t promptAndPrefixLimit = 222;
// Elements per cache below which a copy stays on the calling thread.
constexpr int64_t parallelCopyThreshold = int64_t{1} << 17;

[[noreturn]] void invalidModelOutput() {
  throw WhisperError::decodingLogitsFailed("Invalid model output");
}

bool isHalfArray(const MLMultiArray& array, size_t rank) {
  return array.dataType() == MLMultiArrayDataType::float16 && array.shape().size() == rank;
}

// The last `count` elements (all when there are fewer) that are text tokens.
std::vector<int64_t> lastTextTokens(const std::vector<int64_t>& tokens, int64_t count,
                                    int64_t specialTokenBegin) {
  const auto take =
      std::min<size_t>(tokens.size(), static_cast<size_t>(std::max<int64_t>(0, count)));
  std::vector<int64_t> kept;
  for (auto it = tokens.end() - static_cast<ptrdiff_t>(take); it != tokens.end(); ++it) {
    if (*it < specialTokenBegin) kept.push_back(*it);
  }
  return kept;
}

// The id of a control token, or `fallback` when the vocabulary lacks it.
// Vocabularies with an unknown token answer every missing text with that
// token's id, so an id only counts when it reads back as the same text.
int64_t tokenId(const WhisperTokenizer& tokenizer, const std::string& text, int64_t fallback) {
  const auto id = tokenizer.convertTokenToId(text);
  if (!id || tokenizer.convertIdToToken(*id) != text) return fallback;
  return *id;
}

std::vector<int64_t> promptFor(const WhisperTokenizer& tokenizer, bool multilingual,
                               const std::optional<DecodingOptions>& options) {
  const SpecialTokens& special = tokenizer.specialTokens();
  std::vector<int64_t> prompt{special.startOfTranscriptToken};
  if (!options) return prompt;
  if (multilingual) {
    const std::string language = options->language.value_or("en");
    prompt.push_back(tokenId(tokenizer, "<|" + language + "|>", special.englishToken));
    const std::string task = options->task == DecodingTask::translate ? "translate" : "transcribe";
    prompt.push_back(tokenId(tokenizer, "<|" + task + "|>", special.transcribeToken));
  }
  prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
  if (options->promptTokens) {
    const auto previous =
        lastTextTokens(*options->promptTokens, maxPromptTokens, special.specialTokenBegin);
    if (!previous.empty()) {
      std::vector<int64_t> withPrevious{special.startOfPreviousToken};
      withPrevious.insert(withPrevious.end(), previous.begin(), previous.end());
      withPrevious.insert(withPrevious.end(), prompt.begin(), prompt.end());
      prompt = std::move(withPrevious);
    }
  }
  if (options->prefixTokens) {
    const int64_t room = std::min<int64_t>(
        maxPrefixTokens, promptAndPrefixLimit - static_cast<int64_t>(prompt.size()));
    const auto prefix = lastTextTokens(*options->prefixTokens, room, special.specialTokenBegin);
    prompt.insert(prompt.end(), prefix.begin(), prefix.end());
  }
  return prompt;
}

}  // namespace

std::shared_ptr<DecodingInputs> TextDecoding::prepareDecoderInputs(
    const std::vector<int64_t>& prompt) {
  const auto embedDim = kvCacheEmbedDim();
  if (!embedDim) {
    throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
  }
  const auto sequenceLength = kvCacheMaxSequenceLength();
  if (!sequenceLength) {
    throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
  }
  const auto frames = windowSize();
  if (!frames) {
    throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
  }
  const int64_t D = *embedDim;
  const int64_t S = *sequenceLength;
  auto updateMask = orvane::makeMultiArray({1, S}, MLMultiArrayDataType::int32, int32_t{0});
  updateMask.data<int32_t>()[0] = 1;
  auto paddingMask =
      orvane::makeMultiArray({1, S}, MLMultiArrayDataType::float16, Float16(maskedPaddingValue));
  paddingMask.data<Float16>()[0] = Float16(0);
  return std::make_shared<DecodingInputs>(
      prompt, orvane::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0}),
      orvane::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0}),
      orvane::makeMultiArray({1, D, 1, S}, MLMultiArrayDataType::float16, Float16(0)),
      orvane::makeMultiArray({1, D, 1, S}, MLMultiArrayDataType::float16, Float16(0)),
      orvane::makeMultiArray({S, *frames}, MLMultiArrayDataType::float16, Float16(0)),
      std::move(updateMask), std::move(paddingMask));
}

std::shared_ptr<DecodingInputsType> TextDecoding::prefillDecoderInputs(
    std::shared_ptr<DecodingInputsType> inputs, const std::optional<DecodingOptions>& options) {
  const auto tokenizerInstance = tokenizer();
  if (!tokenizerInstance) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  auto* decodingInputs = dynamic_cast<DecodingInputs*>(inputs.get());
  if (decodingInputs == nullptr) {
    throw WhisperError::prepareDecoderInputsFailed(
        "Unable to cast decoderInputs to DecodingInputs");
  }
  decodingInputs->setInitialPrompt(promptFor(*tokenizerInstance, isModelMultilingual(), options));
  decodingInputs->kvCacheUpdateMask().data<int32_t>()[0] = 1;
  decodingInputs->decoderKeyPaddingMask().data<Float16>()[0] = Float16(0);
  return inputs;
}

void TextDecoding::updateKVCache(const MLMultiArray& keyTensor, const MLMultiArray& keySlice,
                                 const MLMultiArray& valueTensor, const MLMultiArray& valueSlice,
                                 int64_t insertAtIndex) {
  if (!isHalfArray(keyTensor, 4) || !isHalfArray(valueTensor, 4) || !isHalfArray(keySlice, 4) ||
      !isHalfArray(valueSlice, 4) || keyTensor.shape() != valueTensor.shape() ||
      keySlice.shape() != valueSlice.shape()) {
    invalidModelOutput();
  }
  const int64_t channels = keyTensor.shape()[1];
  const int64_t positions = keySlice.shape()[3];
  if (keySlice.shape()[1] < channels || insertAtIndex < 0 ||
      insertAtIndex + positions > keyTensor.shape()[3]) {
    invalidModelOutput();
  }
  // Each slice is read through its own strides (for the model's outputs the
  // two layouts are the same).
  const auto& keyStrides = keyTensor.strides();
  const auto& valueStrides = valueTensor.strides();
  const auto& keySliceStrides = keySlice.strides();
  const auto& valueSliceStrides = valueSlice.strides();
  Float16* const keys = keyTensor.data<Float16>();
  Float16* const values = valueTensor.data<Float16>();
  const Float16* const keyUpdates = keySlice.data<Float16>();
  const Float16* const valueUpdates = valueSlice.data<Float16>();
  const auto copyChannel = [&](size_t channel) {
    const auto e = static_cast<int64_t>(channel);
    for (int64_t i = 0; i < positions; ++i) {
      const int64_t position = insertAtIndex + i;
      keys[e * keyStrides[1] + position * keyStrides[3]] =
          keyUpdates[e * keySliceStrides[1] + i * keySliceStrides[3]];
      values[e * valueStrides[1] + position * valueStrides[3]] =
          valueUpdates[e * valueSliceStrides[1] + i * valueSliceStrides[3]];
    }
  };
  // Channels write disjoint elements, so they may run in parallel; but the
  // hand-off to the pool costs more than a one-token step's few thousand
  // element copies (and stalls when a helper thread is descheduled), so
  // only large copies are split.
  if (channels * positions < parallelCopyThreshold) {
    for (int64_t e = 0; e < channels; ++e) copyChannel(static_cast<size_t>(e));
  } else {
    platform::ThreadPool::shared().parallelFor(static_cast<size_t>(channels), copyChannel);
  }
}

void TextDecoding::updateAlignmentWeights(const MLMultiArray& alignmentTensor,
                                          const MLMultiArray& alignmentSlice,
                                          int64_t insertAtIndex) {
  if (!isHalfArray(alignmentTensor, 2) || !isHalfArray(alignmentSlice, 2) ||
      alignmentSlice.shape()[1] < alignmentTensor.shape()[1]) {
    invalidModelOutput();
  }
  const int64_t row = insertAtIndex + 1;
  if (row < 0 || row >= alignmentTensor.shape()[0]) return;
  const auto& strides = alignmentTensor.strides();
  const int64_t sliceStride = alignmentSlice.strides()[1];
  Float16* const store = alignmentTensor.data<Float16>();
  const Float16* const weights = alignmentSlice.data<Float16>();
  for (int64_t i = 0; i < alignmentTensor.shape()[1]; ++i) {
    store[row * strides[0] + i * strides[1]] = weights[i * sliceStride];
  }
}

}  // namespace kestrune

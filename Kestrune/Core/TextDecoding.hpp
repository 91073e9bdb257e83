#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Kestrune/Core/DecodingInputs.hpp"
#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/DecodingResult.hpp"
#include "Kestrune/Core/TextDecoderModelIO.hpp"
#include "Kestrune/Core/TranscriptionProgress.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

class WhisperTokenizer;
class LogitsFiltering;
class TokenSampling;

// Called with each window's progress; answering false asks the decoder to
// stop that window (honoured only once the prompt has been fed).
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// The text-decoder stage: runs the decoder model token by token over one
// window's encoder output. Replaceable through the engine configuration; the
// input preparation and cache updates below are shared defaults.
class TextDecoding {
 public:
  virtual ~TextDecoding() = default;

  virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
  virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
  virtual bool isModelMultilingual() const = 0;
  virtual void setIsModelMultilingual(bool multilingual) = 0;
  virtual bool supportsWordTimestamps() const = 0;
  virtual std::optional<int64_t> logitsSize() const = 0;
  // Extra filters, applied before the built-in ones.
  virtual std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters() const = 0;
  virtual void setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>> filters) = 0;
  virtual std::optional<int64_t> kvCacheEmbedDim() const = 0;
  virtual std::optional<int64_t> kvCacheMaxSequenceLength() const = 0;
  virtual std::optional<int64_t> windowSize() const = 0;
  virtual std::optional<int64_t> embedSize() const = 0;

  // One decoder prediction. Throws WhisperError.transcriptionFailed for an
  // input of another kind, and passes prediction errors up.
  virtual TextDecoderMLMultiArrayOutputType predictLogits(const TextDecoderInputType& input) = 0;

  // A fresh input state for `prompt`, sized from the model's dimensions.
  // Throws WhisperError.prepareDecoderInputsFailed when one is unknown.
  virtual std::shared_ptr<DecodingInputs> prepareDecoderInputs(const std::vector<int64_t>& prompt);

  // Puts the prompt the options ask for into `inputs` (the same object is
  // returned). Throws WhisperError.tokenizerUnavailable without a tokenizer
  // and prepareDecoderInputsFailed for inputs that are not DecodingInputs.
  virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(
      std::shared_ptr<DecodingInputsType> inputs, const std::optional<DecodingOptions>& options);

  // Decodes one window. `inputs` must be reset and prefilled. Throws
  // WhisperError (see the implementation) and passes prediction errors up.
  virtual DecodingResult decodeText(const MLMultiArray& encoderOutput, DecodingInputsType& inputs,
                                    TokenSampling& sampler, const DecodingOptions& options,
                                    const TranscriptionCallback& callback) = 0;

  // The spoken language of a window from a single prediction after the
  // start-of-transcript token; the positions in `inputs` are not advanced.
  virtual DecodingResult detectLanguage(const MLMultiArray& encoderOutput,
                                        DecodingInputsType& inputs, TokenSampling& sampler,
                                        const DecodingOptions& options,
                                        platform::ml::Float16 temperature) = 0;

  // Writes one step's cache slices ([1, D, 1, n] Float16) into the caches
  // ([1, D, 1, S] Float16) at positions insertAtIndex ... insertAtIndex + n - 1,
  // element by element through the strides; large copies are split over the
  // shared pool, one work item per channel. Throws
  // WhisperError.decodingLogitsFailed "Invalid model output" for slices that
  // do not fit the caches, before anything is written.
  static void updateKVCache(const MLMultiArray& keyTensor, const MLMultiArray& keySlice,
                            const MLMultiArray& valueTensor, const MLMultiArray& valueSlice,
                            int64_t insertAtIndex);

  // Stores one step's alignment row ([1, W] Float16) at row insertAtIndex + 1
  // of the store ([S, W] Float16), the row of the token predicted at that
  // step. A row beyond the store is not written; a slice narrower than the
  // store throws as updateKVCache does.
  static void updateAlignmentWeights(const MLMultiArray& alignmentTensor,
                                     const MLMultiArray& alignmentSlice, int64_t insertAtIndex);
};

}  // namespace kestrune

#pragma once

#include <memory>

#include "Platform/ML/ModelExecutor.hpp"

namespace platform::ml {

// "elementwise-affine": output = input * weight + bias along the last
// dimension; the smallest kind with weights, used to test the runtime alone.
std::unique_ptr<const ModelExecutor> makeElementwiseAffineExecutor(const ExecutorContext& context);

}  // namespace platform::ml

namespace platform::ml {

// "whisper-mel-spectrogram": "audio" Float32 [N] -> "melspectrogram_features"
// Float16 [1, n_mels, 1, N / 160], Whisper's log-mel; weights "mel_filters".
std::unique_ptr<const ModelExecutor> makeMelSpectrogramExecutor(const ExecutorContext& context);

// "whisper-audio-encoder": "melspectrogram_features" -> "encoder_output_embeds"
// Float16 [1, d, 1, frames].
std::unique_ptr<const ModelExecutor> makeAudioEncoderExecutor(const ExecutorContext& context);

// "whisper-text-decoder": one token step with a key/value cache.
std::unique_ptr<const ModelExecutor> makeTextDecoderExecutor(const ExecutorContext& context);

}  // namespace platform::ml

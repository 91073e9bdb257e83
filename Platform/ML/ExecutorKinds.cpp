#include <algorithm>
#include <array>

#include "Platform/ML/ExecutorFactories.hpp"
#include "Platform/ML/ModelExecutor.hpp"

namespace platform::ml {

namespace {
constexpr std::array kinds{
    ExecutorKind{"elementwise-affine", true, &makeElementwiseAffineExecutor},
    ExecutorKind{"whisper-mel-spectrogram", true, &makeMelSpectrogramExecutor},
    ExecutorKind{"whisper-audio-encoder", true, &makeAudioEncoderExecutor},
    ExecutorKind{"whisper-text-decoder", true, &makeTextDecoderExecutor},
};
}  // namespace

std::span<const ExecutorKind> executorKinds() {
  return kinds;
}

const ExecutorKind* findExecutorKind(std::string_view kind) {
  const auto found = std::find_if(kinds.begin(), kinds.end(),
                                  [&](const ExecutorKind& entry) { return entry.kind == kind; });
  return found == kinds.end() ? nullptr : &*found;
}

}  // namespace platform::ml

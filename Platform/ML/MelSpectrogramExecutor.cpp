#include <fftw3.h>

#include <cmath>
#include <mutex>

#include "Platform/ML/ExecutorFactories.hpp"
#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/VectorKernels.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml {

namespace {

constexpr size_t fftSize = 400;
constexpr size_t hopLength = 160;
constexpr size_t binCount = fftSize / 2 + 1;
constexpr size_t framesPerPiece = 100;

// FFTW's planner is not thread-safe; executing a finished plan is.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct PlanDeleter {
  void operator()(fftwf_plan_s* plan) const {
    std::lock_guard guard(plannerMutex());
    fftwf_destroy_plan(plan);
  }
};

class MelSpectrogramExecutor : public ModelExecutor {
 public:
  MelSpectrogramExecutor(size_t samples, size_t mels, std::vector<float> filters)
      : samples_(samples), mels_(mels), frames_(samples / hopLength), filters_(std::move(filters)) {
    window_.resize(fftSize);
    for (size_t n = 0; n < fftSize; ++n) {
      window_[n] = 0.5f - 0.5f * static_cast<float>(std::cos(2.0 * M_PI * double(n) / fftSize));
    }
    std::vector<float> in(fftSize);
    std::vector<fftwf_complex> out(binCount);
    std::lock_guard guard(plannerMutex());
    plan_.reset(fftwf_plan_dft_r2c_1d(static_cast<int>(fftSize), in.data(), out.data(),
                                      FFTW_ESTIMATE | FFTW_UNALIGNED));
  }

  FeatureArrays predict(const FeatureArrays& inputs) const override {
    const MLMultiArray samples =
        contiguousArray(inputs.find("audio")->second, MLMultiArrayDataType::float32);
    const float* audio = samples.data<float>();
    std::vector<float> power(frames_ * binCount);
    const size_t pieces = (frames_ + framesPerPiece - 1) / framesPerPiece;
    ThreadPool::shared().parallelFor(pieces, [&](size_t piece) {
      std::vector<float> frame(fftSize);
      std::vector<fftwf_complex> spectrum(binCount);
      const size_t end = std::min(frames_, (piece + 1) * framesPerPiece);
      for (size_t f = piece * framesPerPiece; f < end; ++f) {
        for (size_t n = 0; n < fftSize; ++n) frame[n] = sampleAt(audio, f, n) * window_[n];
        fftwf_execute_dft_r2c(plan_.get(), frame.data(), spectrum.data());
        float* row = power.data() + f * binCount;
        for (size_t b = 0; b < binCount; ++b) {
          row[b] = spectrum[b][0] * spectrum[b][0] + spectrum[b][1] * spectrum[b][1];
        }
      }
    });
    std::vector<float> mel(mels_ * frames_);
    kernels::sgemm(kernels::Transpose::no, kernels::Transpose::yes, mels_, frames_, binCount, 1.0f,
                   filters_.data(), binCount, power.data(), binCount, 0.0f, mel.data(), frames_);
    for (float& value : mel) value = std::log10(std::max(value, 1e-10f));
    const float floor = kernels::maxValue(mel) - 8.0f;
    for (float& value : mel) value = (std::max(value, floor) + 4.0f) / 4.0f;
    FeatureArrays outputs;
    outputs.emplace(
        "melspectrogram_features",
        arrayFromFloats(mel, {1, static_cast<int64_t>(mels_), 1, static_cast<int64_t>(frames_)},
                        MLMultiArrayDataType::float16));
    return outputs;
  }

 private:
  // Sample n of centred frame f, reflecting at both ends (the frames start
  // half a window before the audio).
  float sampleAt(const float* audio, size_t frame, size_t n) const {
    auto index = static_cast<int64_t>(frame * hopLength + n) - static_cast<int64_t>(fftSize / 2);
    const auto last = static_cast<int64_t>(samples_) - 1;
    if (index < 0) index = -index;
    if (index > last) index = 2 * last - index;
    return audio[std::clamp<int64_t>(index, 0, last)];
  }

  size_t samples_;
  size_t mels_;
  size_t frames_;
  std::vector<float> filters_;
  std::vector<float> window_;
  std::unique_ptr<fftwf_plan_s, PlanDeleter> plan_;
};

}  // namespace

std::unique_ptr<const ModelExecutor> makeMelSpectrogramExecutor(const ExecutorContext& context) {
  using namespace manifest_checks;
  const auto& audio = input(context, "audio", MLMultiArrayDataType::float32, 1);
  const auto& features =
      output(context, "melspectrogram_features", MLMultiArrayDataType::float16, 4);
  const int64_t samples = audio.shape[0];
  const int64_t mels = features.shape[1];
  if (samples < static_cast<int64_t>(fftSize) || samples % static_cast<int64_t>(hopLength) != 0) {
    fail(context, "the audio length " + std::to_string(samples) +
                      " is not a multiple of 160 of at least 400 samples");
  }
  const std::vector<int64_t> expected{1, mels, 1, samples / static_cast<int64_t>(hopLength)};
  if (features.shape != expected) {
    fail(context, "the output \"melspectrogram_features\" must have the shape " +
                      shapeText(expected) + ", not " + shapeText(features.shape));
  }
  const auto& filters = tensor(context, "mel_filters", {mels, static_cast<int64_t>(binCount)});
  std::vector<float> filterValues(static_cast<size_t>(filters.count));
  context.weights->readFloats(filters, filterValues);
  return std::make_unique<MelSpectrogramExecutor>(
      static_cast<size_t>(samples), static_cast<size_t>(mels), std::move(filterValues));
}

}  // namespace platform::ml

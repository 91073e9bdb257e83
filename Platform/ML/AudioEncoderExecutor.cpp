#include "Platform/ML/ExecutorFactories.hpp"
#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/TransformerKernels.hpp"
#include "Platform/ML/WhisperLayers.hpp"

namespace platform::ml {

namespace {

using namespace whisper;

struct EncoderBlock {
  Norm attentionNorm;
  Attention attention;
  Norm mlpNorm;
  Mlp mlp;
};

// Conv1d with kernel 3 and padding 1 as one product: out[o, t] =
// bias[o] + sum over (i, k) of weight[o, i, k] * in[i, stride * t + k - 1].
void convolve(const std::vector<float>& input, size_t channels, size_t length, size_t stride,
              const Linear& conv, std::vector<float>& output, size_t& outLength) {
  outLength = (length - 1) / stride + 1;
  std::vector<float> columns(channels * 3 * outLength, 0.0f);
  for (size_t i = 0; i < channels; ++i) {
    for (size_t k = 0; k < 3; ++k) {
      float* row = columns.data() + (i * 3 + k) * outLength;
      for (size_t t = 0; t < outLength; ++t) {
        const auto source = static_cast<int64_t>(stride * t + k) - 1;
        if (source >= 0 && source < static_cast<int64_t>(length))
          row[t] = input[i * length + source];
      }
    }
  }
  output.assign(conv.out * outLength, 0.0f);
  kernels::sgemm(kernels::Transpose::no, kernels::Transpose::no, conv.out, outLength, channels * 3,
                 1.0f, conv.weight.data(), channels * 3, columns.data(), outLength, 0.0f,
                 output.data(), outLength);
  for (size_t o = 0; o < conv.out; ++o) {
    for (size_t t = 0; t < outLength; ++t) output[o * outLength + t] += conv.bias[o];
  }
  kernels::gelu(output.data(), output.size());
}

class AudioEncoderExecutor : public ModelExecutor {
 public:
  size_t mels = 0, width = 0, heads = 0, frames = 0;
  Linear conv1, conv2;
  std::vector<float> positions;  // [frames, width]
  std::vector<EncoderBlock> blocks;
  Norm finalNorm;

  FeatureArrays predict(const FeatureArrays& inputs) const override {
    const std::vector<float> mel = floatValues(inputs.find("melspectrogram_features")->second);
    std::vector<float> first, second;
    size_t length = 0;
    convolve(mel, mels, 2 * frames, 1, conv1, first, length);
    convolve(first, width, length, 2, conv2, second, length);
    // To sequence-major rows for the blocks.
    std::vector<float> x(frames * width);
    for (size_t c = 0; c < width; ++c) {
      for (size_t t = 0; t < frames; ++t) {
        x[t * width + c] = second[c * frames + t] + positions[t * width + c];
      }
    }
    std::vector<float> normed(frames * width), q(frames * width), k(frames * width),
        v(frames * width), attended(frames * width);
    for (const auto& block : blocks) {
      block.attentionNorm.apply(x.data(), frames, normed.data());
      block.attention.query.apply(normed.data(), frames, q.data());
      block.attention.key.apply(normed.data(), frames, k.data());
      block.attention.value.apply(normed.data(), frames, v.data());
      kernels::multiHeadAttention(q.data(), frames, k.data(), v.data(), frames, width, heads,
                                  attended.data());
      kernels::linear(attended.data(), frames, width, block.attention.out.weight.data(),
                      block.attention.out.bias.data(), width, x.data(), true);
      addMlp(block.mlpNorm, block.mlp, x.data(), frames, width);
    }
    finalNorm.apply(x.data(), frames, normed.data());
    std::vector<float> channelsFirst(width * frames);
    for (size_t t = 0; t < frames; ++t) {
      for (size_t c = 0; c < width; ++c) channelsFirst[c * frames + t] = normed[t * width + c];
    }
    FeatureArrays outputs;
    outputs.emplace("encoder_output_embeds", arrayFromFloats(channelsFirst,
                                                             {1, static_cast<int64_t>(width), 1,
                                                              static_cast<int64_t>(frames)},
                                                             MLMultiArrayDataType::float16));
    return outputs;
  }
};

Linear readConv(const ExecutorContext& context, const std::string& prefix, size_t in, size_t out) {
  Linear conv;
  conv.in = in * 3;
  conv.out = out;
  conv.weight = readTensor(context, prefix + ".weight",
                           {static_cast<int64_t>(out), static_cast<int64_t>(in), 3});
  conv.bias = readTensor(context, prefix + ".bias", {static_cast<int64_t>(out)});
  return conv;
}

}  // namespace

std::unique_ptr<const ModelExecutor> makeAudioEncoderExecutor(const ExecutorContext& context) {
  using namespace manifest_checks;
  const auto& in = input(context, "melspectrogram_features", MLMultiArrayDataType::float16, 4);
  const auto& out = output(context, "encoder_output_embeds", MLMultiArrayDataType::float16, 4);
  auto executor = std::make_unique<AudioEncoderExecutor>();
  executor->mels = static_cast<size_t>(in.shape[1]);
  executor->width = static_cast<size_t>(out.shape[1]);
  executor->frames = static_cast<size_t>(out.shape[3]);
  if (in.shape[0] != 1 || in.shape[2] != 1 || out.shape[0] != 1 || out.shape[2] != 1 ||
      static_cast<size_t>(in.shape[3]) != 2 * executor->frames) {
    fail(context, "the shapes " + shapeText(in.shape) + " -> " + shapeText(out.shape) +
                      " are not [1, mels, 1, 2T] -> [1, d, 1, T]");
  }
  executor->heads = static_cast<size_t>(integer(context, "n_heads"));
  const auto layers = static_cast<size_t>(integer(context, "n_layers"));
  if (executor->width % executor->heads != 0) {
    fail(context, "the width " + std::to_string(executor->width) + " does not split into " +
                      std::to_string(executor->heads) + " heads");
  }
  const size_t d = executor->width;
  executor->conv1 = readConv(context, "encoder.conv1", executor->mels, d);
  executor->conv2 = readConv(context, "encoder.conv2", d, d);
  executor->positions =
      readTensor(context, "encoder.embed_positions.weight",
                 {static_cast<int64_t>(executor->frames), static_cast<int64_t>(d)});
  for (size_t l = 0; l < layers; ++l) {
    const std::string prefix = "encoder.layers." + std::to_string(l);
    executor->blocks.push_back({readNorm(context, prefix + ".self_attn_layer_norm", d),
                                readAttention(context, prefix + ".self_attn", d),
                                readNorm(context, prefix + ".final_layer_norm", d),
                                readMlp(context, prefix, d)});
  }
  executor->finalNorm = readNorm(context, "encoder.layer_norm", d);
  return executor;
}

}  // namespace platform::ml

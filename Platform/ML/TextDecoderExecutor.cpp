#include <cmath>
#include <cstring>
#include <list>
#include <mutex>

#include "Platform/ML/ExecutorFactories.hpp"
#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/TransformerKernels.hpp"
#include "Platform/ML/VectorKernels.hpp"
#include "Platform/ML/WhisperLayers.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml {

namespace {

using namespace whisper;
using kernels::Transpose;

struct DecoderBlock {
  Norm selfNorm;
  Attention self;
  Norm crossNorm;
  Attention cross;
  Norm mlpNorm;
  Mlp mlp;
};

// The cross-attention keys and values of one encoder output, per layer
// [frames x width]. They depend only on the encoder output, so one window's
// decoding steps share them.
struct CrossProjections {
  std::vector<Float16> encoderOutput;  // the exact input they were made from
  std::vector<std::vector<float>> keys;
  std::vector<std::vector<float>> values;
};

// Reads element (0, channel, 0, position) of a [1, C, 1, S] array through its strides.
struct CacheView {
  const Float16* data;
  int64_t channelStride;
  int64_t positionStride;
  float at(size_t channel, size_t position) const {
    return static_cast<float>(data[static_cast<int64_t>(channel) * channelStride +
                                   static_cast<int64_t>(position) * positionStride]);
  }
};

class TextDecoderExecutor : public ModelExecutor {
 public:
  size_t width = 0, heads = 0, vocabulary = 0, cacheLength = 0, frames = 0, positionsCount = 0;
  std::vector<float> tokenEmbedding;     // [vocabulary, width]
  std::vector<float> positionEmbedding;  // [positionsCount, width]
  std::vector<DecoderBlock> blocks;
  Norm finalNorm;
  std::vector<std::pair<size_t, size_t>> alignmentHeads;
  bool producesAlignment = false;
  size_t crossCacheCapacity = 1;

  FeatureArrays predict(const FeatureArrays& inputs) const override {
    const auto array = [&](const char* name) -> const MLMultiArray& {
      return inputs.find(name)->second;
    };
    const int32_t token = static_cast<int32_t>(array("input_ids").number(0));
    const int32_t position = static_cast<int32_t>(array("cache_length").number(0));
    if (token < 0 || static_cast<size_t>(token) >= vocabulary) {
      throw PlatformMLError(PlatformMLError::Code::predictionFailed,
                            "input_ids " + std::to_string(token) +
                                " is outside the vocabulary of " + std::to_string(vocabulary));
    }
    if (position < 0 || static_cast<size_t>(position) >= std::min(positionsCount, cacheLength)) {
      throw PlatformMLError(PlatformMLError::Code::predictionFailed,
                            "cache_length " + std::to_string(position) + " is outside [0, " +
                                std::to_string(std::min(positionsCount, cacheLength)) + ")");
    }
    const auto cross = crossProjections(array("encoder_output_embeds"));
    const auto view = [](const MLMultiArray& cache) {
      return CacheView{cache.data<Float16>(), cache.strides()[1], cache.strides()[3]};
    };
    const CacheView keyCache = view(array("key_cache")), valueCache = view(array("value_cache"));
    const MLMultiArray& updateMask = array("kv_cache_update_mask");
    const MLMultiArray& paddingMask = array("decoder_key_padding_mask");
    std::vector<bool> fresh(cacheLength);
    std::vector<float> padding(cacheLength);
    for (size_t j = 0; j < cacheLength; ++j) {
      fresh[j] = updateMask.number(static_cast<int64_t>(j)) == 1.0;
      padding[j] = static_cast<float>(paddingMask.number(static_cast<int64_t>(j)));
    }

    const size_t d = width;
    std::vector<float> x(d), normed(d), q(d), attended(d);
    std::vector<float> keyUpdates(blocks.size() * d), valueUpdates(blocks.size() * d);
    std::vector<float> alignment(frames, 0.0f);
    for (size_t c = 0; c < d; ++c) {
      x[c] = tokenEmbedding[static_cast<size_t>(token) * d + c] +
             positionEmbedding[static_cast<size_t>(position) * d + c];
    }
    for (size_t l = 0; l < blocks.size(); ++l) {
      const auto& block = blocks[l];
      float* kNew = keyUpdates.data() + l * d;
      float* vNew = valueUpdates.data() + l * d;
      block.selfNorm.apply(x.data(), 1, normed.data());
      block.self.query.apply(normed.data(), 1, q.data());
      block.self.key.apply(normed.data(), 1, kNew);
      block.self.value.apply(normed.data(), 1, vNew);
      selfAttention(l, q.data(), kNew, vNew, keyCache, valueCache, fresh, padding, attended.data());
      kernels::linear(attended.data(), 1, d, block.self.out.weight.data(),
                      block.self.out.bias.data(), d, x.data(), true);

      block.crossNorm.apply(x.data(), 1, normed.data());
      block.cross.query.apply(normed.data(), 1, q.data());
      crossAttention(l, q.data(), *cross, attended.data(), alignment);
      kernels::linear(attended.data(), 1, d, block.cross.out.weight.data(),
                      block.cross.out.bias.data(), d, x.data(), true);
      addMlp(block.mlpNorm, block.mlp, x.data(), 1, d);
    }
    finalNorm.apply(x.data(), 1, normed.data());
    std::vector<float> logits(vocabulary);
    kernels::sgemm(Transpose::no, Transpose::yes, 1, vocabulary, d, 1.0f, normed.data(), d,
                   tokenEmbedding.data(), d, 0.0f, logits.data(), vocabulary);

    const auto rows = static_cast<int64_t>(blocks.size() * d);
    FeatureArrays outputs;
    outputs.emplace("logits", arrayFromFloats(logits, {1, 1, static_cast<int64_t>(vocabulary)},
                                              MLMultiArrayDataType::float16));
    outputs.emplace("key_cache_updates",
                    arrayFromFloats(keyUpdates, {1, rows, 1, 1}, MLMultiArrayDataType::float16));
    outputs.emplace("value_cache_updates",
                    arrayFromFloats(valueUpdates, {1, rows, 1, 1}, MLMultiArrayDataType::float16));
    if (producesAlignment) {
      const float share = 1.0f / static_cast<float>(alignmentHeads.size());
      for (float& value : alignment) value *= share;
      outputs.emplace("alignment_heads_weights",
                      arrayFromFloats(alignment, {1, static_cast<int64_t>(frames)},
                                      MLMultiArrayDataType::float16));
    }
    return outputs;
  }

 private:
  // Attention over the cached positions; the position marked in the update
  // mask takes the fresh key and value, and the padding mask is added to
  // the scores (0 to attend, -10000 to ignore).
  void selfAttention(size_t layer, const float* q, const float* kNew, const float* vNew,
                     const CacheView& keys, const CacheView& values, const std::vector<bool>& fresh,
                     const std::vector<float>& padding, float* output) const {
    const size_t headSize = width / heads;
    const float scale = 1.0f / std::sqrt(static_cast<float>(headSize));
    std::vector<float> scores(cacheLength);
    for (size_t h = 0; h < heads; ++h) {
      const size_t base = layer * width + h * headSize;
      for (size_t j = 0; j < cacheLength; ++j) {
        float dot = 0.0f;
        for (size_t c = 0; c < headSize; ++c) {
          const float key = fresh[j] ? kNew[h * headSize + c] : keys.at(base + c, j);
          dot += q[h * headSize + c] * key;
        }
        scores[j] = dot * scale + padding[j];
      }
      kernels::softmax(scores, scores);
      for (size_t c = 0; c < headSize; ++c) {
        float sum = 0.0f;
        for (size_t j = 0; j < cacheLength; ++j) {
          if (scores[j] == 0.0f) continue;
          sum += scores[j] * (fresh[j] ? vNew[h * headSize + c] : values.at(base + c, j));
        }
        output[h * headSize + c] = sum;
      }
    }
  }

  void crossAttention(size_t layer, const float* q, const CrossProjections& cross, float* output,
                      std::vector<float>& alignment) const {
    const size_t headSize = width / heads;
    const float scale = 1.0f / std::sqrt(static_cast<float>(headSize));
    std::vector<std::vector<float>> probabilities(heads, std::vector<float>(frames));
    ThreadPool::shared().parallelFor(heads, [&](size_t h) {
      auto& scores = probabilities[h];
      const size_t column = h * headSize;
      kernels::sgemm(Transpose::no, Transpose::yes, 1, frames, headSize, scale, q + column, width,
                     cross.keys[layer].data() + column, width, 0.0f, scores.data(), frames);
      kernels::softmax(scores, scores);
      kernels::sgemm(Transpose::no, Transpose::no, 1, headSize, frames, 1.0f, scores.data(), frames,
                     cross.values[layer].data() + column, width, 0.0f, output + column, width);
    });
    if (!producesAlignment) return;
    for (const auto& [alignmentLayer, head] : alignmentHeads) {
      if (alignmentLayer == layer) kernels::addInPlace(alignment, probabilities[head]);
    }
  }

  std::shared_ptr<const CrossProjections> crossProjections(
      const MLMultiArray& encoderOutput) const {
    std::vector<Float16> content(static_cast<size_t>(encoderOutput.count()));
    const auto& strides = encoderOutput.strides();
    const Float16* data = encoderOutput.data<Float16>();
    for (size_t c = 0; c < width; ++c) {
      for (size_t t = 0; t < frames; ++t) {
        content[c * frames + t] =
            data[static_cast<int64_t>(c) * strides[1] + static_cast<int64_t>(t) * strides[3]];
      }
    }
    {
      std::lock_guard guard(cacheMutex_);
      for (auto entry = crossCache_.begin(); entry != crossCache_.end(); ++entry) {
        if (std::memcmp((*entry)->encoderOutput.data(), content.data(),
                        content.size() * sizeof(Float16)) == 0) {
          crossCache_.splice(crossCache_.begin(), crossCache_, entry);
          return crossCache_.front();
        }
      }
    }
    // Computed outside the lock so that other windows' steps go on; two
    // threads meeting a new output at once both compute it, harmlessly.
    auto made = std::make_shared<CrossProjections>();
    std::vector<float> rows(frames * width);
    for (size_t c = 0; c < width; ++c) {
      for (size_t t = 0; t < frames; ++t) {
        rows[t * width + c] = static_cast<float>(content[c * frames + t]);
      }
    }
    made->encoderOutput = std::move(content);
    for (const auto& block : blocks) {
      made->keys.emplace_back(frames * width);
      made->values.emplace_back(frames * width);
      block.cross.key.apply(rows.data(), frames, made->keys.back().data());
      block.cross.value.apply(rows.data(), frames, made->values.back().data());
    }
    std::lock_guard guard(cacheMutex_);
    crossCache_.push_front(made);
    while (crossCache_.size() > crossCacheCapacity) crossCache_.pop_back();
    return made;
  }

  mutable std::mutex cacheMutex_;
  mutable std::list<std::shared_ptr<const CrossProjections>> crossCache_;
};

}  // namespace

std::unique_ptr<const ModelExecutor> makeTextDecoderExecutor(const ExecutorContext& context) {
  using namespace manifest_checks;
  using Type = MLMultiArrayDataType;
  auto executor = std::make_unique<TextDecoderExecutor>();
  input(context, "input_ids", Type::int32, 1);
  input(context, "cache_length", Type::int32, 1);
  const auto& keyCache = input(context, "key_cache", Type::float16, 4);
  const auto& valueCache = input(context, "value_cache", Type::float16, 4);
  const auto& updateMask = input(context, "kv_cache_update_mask", Type::int32, 2);
  const auto& encoder = input(context, "encoder_output_embeds", Type::float16, 4);
  const auto& padding = input(context, "decoder_key_padding_mask", Type::float16, 2);
  const auto& logits = output(context, "logits", Type::float16, 3);
  const auto& keyUpdates = output(context, "key_cache_updates", Type::float16, 4);
  output(context, "value_cache_updates", Type::float16, 4);
  const size_t layers = static_cast<size_t>(integer(context, "n_layers"));
  executor->heads = static_cast<size_t>(integer(context, "n_heads"));
  executor->width = static_cast<size_t>(encoder.shape[1]);
  executor->frames = static_cast<size_t>(encoder.shape[3]);
  executor->vocabulary = static_cast<size_t>(logits.shape[2]);
  executor->cacheLength = static_cast<size_t>(keyCache.shape[3]);
  const auto d = static_cast<int64_t>(executor->width);
  const auto rows = static_cast<int64_t>(layers) * d;
  const auto s = static_cast<int64_t>(executor->cacheLength);
  const std::vector<int64_t> cacheShape{1, rows, 1, s};
  if (keyCache.shape != cacheShape || valueCache.shape != cacheShape ||
      updateMask.shape != std::vector<int64_t>{1, s} ||
      padding.shape != std::vector<int64_t>{1, s} ||
      keyUpdates.shape != std::vector<int64_t>{1, rows, 1, 1} || encoder.shape[0] != 1 ||
      encoder.shape[2] != 1 || logits.shape[0] != 1 || logits.shape[1] != 1) {
    fail(context, "the cache and mask shapes do not match " + std::to_string(layers) +
                      " layers of width " + std::to_string(d) + " and a cache of " +
                      std::to_string(s));
  }
  if (executor->width % executor->heads != 0) {
    fail(context, "the width " + std::to_string(d) + " does not split into " +
                      std::to_string(executor->heads) + " heads");
  }
  if (const auto* alignment = context.manifest.findOutput("alignment_heads_weights")) {
    const auto& constraint = *alignment->multiArrayConstraint;
    if (constraint.dataType != Type::float16 ||
        constraint.shape != std::vector<int64_t>{1, encoder.shape[3]}) {
      fail(context, "the output \"alignment_heads_weights\" must be Float16 [1, " +
                        std::to_string(encoder.shape[3]) + "]");
    }
    executor->producesAlignment = true;
    const auto& heads = context.manifest.parameters.find("alignment_heads");
    if (heads == context.manifest.parameters.end() || !heads->is_array() || heads->empty()) {
      fail(context, "the parameter \"alignment_heads\" must list [layer, head] pairs");
    }
    for (const auto& pair : *heads) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_unsigned() ||
          !pair[1].is_number_unsigned() || pair[0].get<size_t>() >= layers ||
          pair[1].get<size_t>() >= executor->heads) {
        fail(context,
             "the alignment head " + pair.dump() + " is not a [layer, head] pair in range");
      }
      executor->alignmentHeads.emplace_back(pair[0].get<size_t>(), pair[1].get<size_t>());
    }
  }
  const auto v = static_cast<int64_t>(executor->vocabulary);
  executor->tokenEmbedding = readTensor(context, "decoder.embed_tokens.weight", {v, d});
  const TensorInfo& positions = context.weights->tensor("decoder.embed_positions.weight");
  if (positions.shape.size() != 2 || positions.shape[1] != d || positions.shape[0] < 1) {
    fail(context, "decoder.embed_positions.weight has the shape " + shapeText(positions.shape));
  }
  executor->positionsCount = static_cast<size_t>(positions.shape[0]);
  executor->positionEmbedding =
      readTensor(context, "decoder.embed_positions.weight", positions.shape);
  for (size_t l = 0; l < layers; ++l) {
    const std::string prefix = "decoder.layers." + std::to_string(l);
    const auto width = executor->width;
    executor->blocks.push_back({readNorm(context, prefix + ".self_attn_layer_norm", width),
                                readAttention(context, prefix + ".self_attn", width),
                                readNorm(context, prefix + ".encoder_attn_layer_norm", width),
                                readAttention(context, prefix + ".encoder_attn", width),
                                readNorm(context, prefix + ".final_layer_norm", width),
                                readMlp(context, prefix, width)});
  }
  executor->finalNorm = readNorm(context, "decoder.layer_norm", executor->width);
  // Room for a few windows decoded at once, within about 1 GiB.
  const size_t entryBytes = 2 * layers * executor->frames * executor->width * sizeof(float);
  executor->crossCacheCapacity =
      std::clamp<size_t>((size_t{1} << 30) / std::max<size_t>(entryBytes, 1), 1, 8);
  return executor;
}

}  // namespace platform::ml

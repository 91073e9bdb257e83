#include <cmath>
#include <cstring>
#include <list>
#include <mutex>

#include "Platform/ML/ExecutorFactories.hpp"
#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/TransformerKernels.hpp"
#include "Platform/ML/VectorKernels.hpp"
#include "Platform/ML/WhisperLayers.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml {

namespace {

using namespace whisper;

struct DecoderBlock {
  Norm selfNorm;
  HalfAttention self;
  Norm crossNorm;
  HalfAttention cross;
  Norm mlpNorm;
  HalfMlp mlp;
};

// The cross-attention keys and values of one encoder output, per layer,
// channel-major [width x frames] in 16 bits: a head's keys are then rows
// that its scores sweep along, and its values rows that the weights are
// summed against. They depend only on the encoder output, so one window's
// decoding steps share them.
struct CrossProjections {
  std::vector<Float16> encoderOutput;  // the exact input they were made from
  std::vector<kernels::HalfMatrix> keys;
  std::vector<kernels::HalfMatrix> values;
};

// Caches of at least this many values per layer are read by the heads in parallel.
constexpr size_t parallelCacheValues = size_t{1} << 18;

// Reads element (0, channel, 0, position) of a [1, C, 1, S] array through its strides.
struct CacheView {
  const Float16* data;
  int64_t channelStride;
  int64_t positionStride;
  float at(size_t channel, size_t position) const {
    return static_cast<float>(data[static_cast<int64_t>(channel) * channelStride +
                                   static_cast<int64_t>(position) * positionStride]);
  }
  // Channel c's positions as contiguous 16-bit values, when they are.
  const uint16_t* row(size_t channel) const {
    return reinterpret_cast<const uint16_t*>(data + static_cast<int64_t>(channel) * channelStride);
  }
  bool contiguousPositions() const { return positionStride == 1; }
};

// The masks of one step: which cache positions take this step's key and
// value, and what is added to each position's score.
struct StepMasks {
  std::vector<size_t> freshPositions;
  std::vector<float> padding;
};

class TextDecoderExecutor : public ModelExecutor {
 public:
  size_t width = 0, heads = 0, vocabulary = 0, cacheLength = 0, frames = 0, positionsCount = 0;
  kernels::HalfMatrix tokenEmbedding;    // [vocabulary, width]
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
    const StepMasks masks =
        readMasks(array("kv_cache_update_mask"), array("decoder_key_padding_mask"));

    const size_t d = width;
    std::vector<float> x(d), normed(d), q(d), attended(d);
    std::vector<float> keyUpdates(blocks.size() * d), valueUpdates(blocks.size() * d);
    std::vector<float> alignment(frames, 0.0f);
    tokenEmbedding.readRow(static_cast<size_t>(token), x.data());
    kernels::addInPlace(x, {positionEmbedding.data() + static_cast<size_t>(position) * d, d});
    for (size_t l = 0; l < blocks.size(); ++l) {
      const auto& block = blocks[l];
      float* kNew = keyUpdates.data() + l * d;
      float* vNew = valueUpdates.data() + l * d;
      block.selfNorm.apply(x.data(), 1, normed.data());
      const auto& self = block.self;
      const kernels::HalfProduct projections[] = {
          {&self.query.weight, normed.data(), self.query.bias.data(), q.data()},
          {&self.key.weight, normed.data(), nullptr, kNew},
          {&self.value.weight, normed.data(), self.value.bias.data(), vNew}};
      kernels::halfMatrixVectors(projections);
      selfAttention(l, q.data(), kNew, vNew, keyCache, valueCache, masks, attended.data());
      block.self.out.apply(attended.data(), x.data(), true);

      block.crossNorm.apply(x.data(), 1, normed.data());
      block.cross.query.apply(normed.data(), q.data());
      crossAttention(l, q.data(), *cross, attended.data(), alignment);
      block.cross.out.apply(attended.data(), x.data(), true);
      addMlp(block.mlpNorm, block.mlp, x.data());
    }
    finalNorm.apply(x.data(), 1, normed.data());
    std::vector<float> logits(vocabulary);
    kernels::halfMatrixVector(tokenEmbedding, normed.data(), nullptr, logits.data());

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
  StepMasks readMasks(const MLMultiArray& updateMask, const MLMultiArray& paddingMask) const {
    StepMasks masks;
    masks.padding.resize(cacheLength);
    const MLMultiArray update = contiguousArray(updateMask, MLMultiArrayDataType::int32);
    const MLMultiArray padding = contiguousArray(paddingMask, MLMultiArrayDataType::float32);
    const int32_t* fresh = update.data<int32_t>();
    std::memcpy(masks.padding.data(), padding.data<float>(), cacheLength * sizeof(float));
    for (size_t j = 0; j < cacheLength; ++j) {
      if (fresh[j] == 1) masks.freshPositions.push_back(j);
    }
    return masks;
  }

  // Attention over the cached positions; a position marked in the update
  // mask takes the fresh key and value, and the padding mask is added to
  // the scores (0 to attend, -10000 to ignore).
  void selfAttention(size_t layer, const float* q, const float* kNew, const float* vNew,
                     const CacheView& keys, const CacheView& values, const StepMasks& masks,
                     float* output) const {
    const size_t headSize = width / heads;
    const float scale = 1.0f / std::sqrt(static_cast<float>(headSize));
    const bool contiguous = keys.contiguousPositions() && values.contiguousPositions();
    const auto head = [&](size_t h) {
      const size_t base = layer * width + h * headSize;
      const float* qHead = q + h * headSize;
      std::vector<float> scores(cacheLength, 0.0f);
      if (contiguous) {
        for (size_t c = 0; c < headSize; ++c) {
          kernels::halfAxpy(keys.row(base + c), kernels::HalfFormat::f16, qHead[c], scores.data(),
                            cacheLength);
        }
      } else {
        for (size_t j = 0; j < cacheLength; ++j) {
          for (size_t c = 0; c < headSize; ++c) scores[j] += qHead[c] * keys.at(base + c, j);
        }
      }
      float freshScore = 0.0f;
      for (size_t c = 0; c < headSize; ++c) freshScore += qHead[c] * kNew[h * headSize + c];
      for (const size_t j : masks.freshPositions) scores[j] = freshScore;
      for (size_t j = 0; j < cacheLength; ++j) scores[j] = scores[j] * scale + masks.padding[j];
      kernels::softmax(scores, scores);
      // The fresh positions' weights go to the fresh value, not the cache's.
      float freshWeight = 0.0f;
      for (const size_t j : masks.freshPositions) {
        freshWeight += scores[j];
        scores[j] = 0.0f;
      }
      for (size_t c = 0; c < headSize; ++c) {
        float sum = 0.0f;
        if (contiguous) {
          sum = kernels::halfDot(values.row(base + c), kernels::HalfFormat::f16, scores.data(),
                                 cacheLength);
        } else {
          for (size_t j = 0; j < cacheLength; ++j) {
            if (scores[j] != 0.0f) sum += scores[j] * values.at(base + c, j);
          }
        }
        output[h * headSize + c] = sum + freshWeight * vNew[h * headSize + c];
      }
    };
    // A short cache is read faster than a hand-off to the pool takes.
    if (width * cacheLength >= parallelCacheValues) {
      ThreadPool::shared().parallelFor(heads, head);
    } else {
      for (size_t h = 0; h < heads; ++h) head(h);
    }
  }

  void crossAttention(size_t layer, const float* q, const CrossProjections& cross, float* output,
                      std::vector<float>& alignment) const {
    const size_t headSize = width / heads;
    const float scale = 1.0f / std::sqrt(static_cast<float>(headSize));
    std::vector<std::vector<float>> probabilities(heads, std::vector<float>(frames));
    const kernels::HalfMatrix& keys = cross.keys[layer];
    const kernels::HalfMatrix& values = cross.values[layer];
    ThreadPool::shared().parallelFor(heads, [&](size_t h) {
      auto& scores = probabilities[h];
      const size_t base = h * headSize;
      for (size_t c = 0; c < headSize; ++c) {
        kernels::halfAxpy(keys.row(base + c), keys.format, q[base + c] * scale, scores.data(),
                          frames);
      }
      kernels::softmax(scores, scores);
      for (size_t c = 0; c < headSize; ++c) {
        output[base + c] =
            kernels::halfDot(values.row(base + c), values.format, scores.data(), frames);
      }
    });
    if (!producesAlignment) return;
    for (const auto& [alignmentLayer, head] : alignmentHeads) {
      if (alignmentLayer == layer) kernels::addInPlace(alignment, probabilities[head]);
    }
  }

  std::shared_ptr<const CrossProjections> crossProjections(
      const MLMultiArray& encoderOutput) const {
    // Every step of a window passes the same encoder output: when it is
    // contiguous it is compared in place, without a copy.
    std::vector<Float16> copied;
    const Float16* content = encoderOutput.data<Float16>();
    if (!encoderOutput.isContiguous()) {
      copied.resize(static_cast<size_t>(encoderOutput.count()));
      const auto& strides = encoderOutput.strides();
      for (size_t c = 0; c < width; ++c) {
        for (size_t t = 0; t < frames; ++t) {
          copied[c * frames + t] =
              content[static_cast<int64_t>(c) * strides[1] + static_cast<int64_t>(t) * strides[3]];
        }
      }
      content = copied.data();
    }
    const size_t count = width * frames;
    {
      std::lock_guard guard(cacheMutex_);
      for (auto entry = crossCache_.begin(); entry != crossCache_.end(); ++entry) {
        if (std::memcmp((*entry)->encoderOutput.data(), content, count * sizeof(Float16)) == 0) {
          crossCache_.splice(crossCache_.begin(), crossCache_, entry);
          return crossCache_.front();
        }
      }
    }
    // Computed outside the lock so that other windows' steps go on; two
    // threads meeting a new output at once both compute it, harmlessly.
    auto made = std::make_shared<CrossProjections>();
    std::vector<float> channels(count);
    convertFloat16ToFloat32(content, channels.data(), count);
    made->encoderOutput.assign(content, content + count);
    std::vector<float> product(width * frames);
    const auto toHalf = [&] {
      return kernels::HalfMatrix::fromFloats(product.data(), width, frames,
                                             kernels::HalfFormat::f16);
    };
    for (const auto& block : blocks) {
      block.cross.key.applyToColumns(channels.data(), frames, product.data());
      made->keys.push_back(toHalf());
      block.cross.value.applyToColumns(channels.data(), frames, product.data());
      made->values.push_back(toHalf());
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
  executor->tokenEmbedding = readHalfMatrix(context, "decoder.embed_tokens.weight",
                                            static_cast<size_t>(v), static_cast<size_t>(d));
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
                                readHalfAttention(context, prefix + ".self_attn", width),
                                readNorm(context, prefix + ".encoder_attn_layer_norm", width),
                                readHalfAttention(context, prefix + ".encoder_attn", width),
                                readNorm(context, prefix + ".final_layer_norm", width),
                                readHalfMlp(context, prefix, width)});
  }
  executor->finalNorm = readNorm(context, "decoder.layer_norm", executor->width);
  // Room for a few windows decoded at once, within about 1 GiB.
  const size_t entryBytes = 2 * layers * executor->frames * executor->width * sizeof(uint16_t);
  executor->crossCacheCapacity =
      std::clamp<size_t>((size_t{1} << 30) / std::max<size_t>(entryBytes, 1), 1, 8);
  return executor;
}

}  // namespace platform::ml

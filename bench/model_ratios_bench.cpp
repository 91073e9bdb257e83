// The runtime against the machine's own limits, in one run:
//   1. SGEMM peak (a 2048 square product on every core) and memory read
//      bandwidth (a vectorised sum of 512 MiB on every core);
//   2. for generated tiny- and base-sized models with the real vocabulary:
//      the mel spectrogram of one 30 s window, the encoder of one window
//      (GFLOP/s as a share of the peak) and one decoder step (16-bit weight
//      bytes read per second as a share of the bandwidth);
//   3. a plain-loop reference (no BLAS, no threads, float32 weights) of the
//      encoder and of a decoder step on the same weights, for the speed-up
//      of the runtime over it and the agreement of their outputs.
// Every figure is the median of repeated runs, and every ratio is taken
// between figures of the same run, so that a busy machine moves both sides.
//
//   model_ratios_bench [--models tiny,base] [--no-reference] [--repeat N]
//
// --steps N times only N decoder steps (after one encoder run), for profiles.
//
// The models are made with this build's kestrune-make-test-model and
// kestrune-convert (16-bit weights) under the temporary folder, once.
// GCC 12 warns inside its own AVX-512 reduction intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/HalfKernels.hpp"
#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/ModelManifest.hpp"
#include "Platform/ML/SafeTensors.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace {

namespace fs = std::filesystem;
using platform::ThreadPool;
using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureValue;
using platform::ml::MLModel;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::SafeTensors;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double processSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Wall time and processor time (all threads) of one call. On a machine
// shared with other work the wall time stretches with the load; the
// processor time hardly moves, and divided by the cores it estimates the
// wall time of an idle machine for code that keeps every core busy.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

size_t cores() {
  return std::max<size_t>(1, ThreadPool::shared().threadCount());
}

// Medians over `repeat` calls, after one call to warm up (a repeat of 0:
// one cold call, for work too slow to repeat).
Timing medianTiming(size_t repeat, const std::function<void()>& work) {
  if (repeat > 0) work();
  repeat = std::max<size_t>(repeat, 1);
  std::vector<double> walls, cpus;
  for (size_t i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    const double cpuStart = processSeconds();
    work();
    cpus.push_back(processSeconds() - cpuStart);
    walls.push_back(seconds(start));
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

std::string firstLine(const char* path, const std::string& prefix = "") {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  }
  return "unknown";
}

// ---- machine limits --------------------------------------------------------

// Rates per second of wall time and per second of idle-machine time (the
// processor time divided by the cores).
struct Rate {
  double wall = 0;
  double idle = 0;
};

Rate rateOf(double amount, const Timing& timing) {
  return {amount / timing.wall, amount / (timing.cpu / double(cores()))};
}

Rate sgemmPeak(size_t repeat) {
  constexpr size_t n = 2048;
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> uniform(-1, 1);
  std::vector<float> a(n * n), b(n * n), c(n * n);
  for (auto& v : a) v = uniform(generator);
  for (auto& v : b) v = uniform(generator);
  using platform::ml::kernels::Transpose;
  const Timing time = medianTiming(repeat, [&] {
    platform::ml::kernels::sgemm(Transpose::no, Transpose::no, n, n, n, 1.0f, a.data(), n, b.data(),
                                 n, 0.0f, c.data(), n);
  });
  return rateOf(2.0 * n * n * n, time);
}

__attribute__((target("avx512f"))) float sumAvx512(const float* data, size_t count) {
  __m512 s0 = _mm512_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  for (size_t i = 0; i + 64 <= count; i += 64) {
    s0 = _mm512_add_ps(s0, _mm512_loadu_ps(data + i));
    s1 = _mm512_add_ps(s1, _mm512_loadu_ps(data + i + 16));
    s2 = _mm512_add_ps(s2, _mm512_loadu_ps(data + i + 32));
    s3 = _mm512_add_ps(s3, _mm512_loadu_ps(data + i + 48));
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(s0, s1), _mm512_add_ps(s2, s3)));
}

__attribute__((target("avx2"))) float sumAvx2(const float* data, size_t count) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  for (size_t i = 0; i + 32 <= count; i += 32) {
    s0 = _mm256_add_ps(s0, _mm256_loadu_ps(data + i));
    s1 = _mm256_add_ps(s1, _mm256_loadu_ps(data + i + 8));
    s2 = _mm256_add_ps(s2, _mm256_loadu_ps(data + i + 16));
    s3 = _mm256_add_ps(s3, _mm256_loadu_ps(data + i + 24));
  }
  float lanes[8];
  _mm256_storeu_ps(lanes, _mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  float sum = 0;
  for (const float lane : lanes) sum += lane;
  return sum;
}

Rate readBandwidth(size_t repeat) {
  constexpr size_t count = size_t{128} << 20;  // 512 MiB of floats
  std::vector<float> data(count, 1.0f);
  auto& pool = ThreadPool::shared();
  const size_t pieces = std::max<size_t>(1, pool.threadCount());
  const bool avx512 = __builtin_cpu_supports("avx512f");
  std::vector<float> sums(pieces);
  const Timing time = medianTiming(repeat, [&] {
    pool.parallelFor(pieces, [&](size_t piece) {
      const size_t size = count / pieces;
      const float* begin = data.data() + piece * size;
      sums[piece] = avx512 ? sumAvx512(begin, size) : sumAvx2(begin, size);
    });
  });
  if (sums[0] < 0) std::puts("");  // keeps the sums alive
  return rateOf(static_cast<double>(count * sizeof(float)), time);
}

// The 16-bit product of the decoder's largest matrix (the token embedding
// of the tiny-sized model, 40 MB), as a share of the read bandwidth: what
// the step's products can reach.
Rate halfProductRate(size_t repeat) {
  const size_t rows = 51865, columns = 384;
  std::mt19937 generator(2);
  std::normal_distribution<float> normal(0.0f, 0.5f);
  std::vector<float> wide(rows * columns), input(columns), output(rows);
  for (auto& v : wide) v = normal(generator);
  for (auto& v : input) v = normal(generator);
  using namespace platform::ml::kernels;
  const HalfMatrix matrix = HalfMatrix::fromFloats(wide.data(), rows, columns, HalfFormat::f16);
  wide = {};
  const Timing time = medianTiming(
      repeat * 10, [&] { halfMatrixVector(matrix, input.data(), nullptr, output.data()); });
  return rateOf(double(matrix.bytes()), time);
}

// ---- models ------------------------------------------------------------------

struct Preset {
  std::string name;
  size_t width, layers, heads;
};

const Preset presets[] = {{"tiny", 384, 4, 6}, {"base", 512, 6, 8}};
constexpr size_t vocabulary = 51865, frames = 1500, mels = 80;

fs::path modelFolder(const Preset& preset) {
  const fs::path tools = fs::path(KESTRUNE_BINARY_DIR) / "tools";
  const fs::path generator = tools / "kestrune-make-test-model" / "kestrune-make-test-model";
  const fs::path converter = tools / "kestrune-convert" / "kestrune-convert";
  const fs::path work = fs::temp_directory_path() / ("kestrune-ratio-bench-" + preset.name);
  if (fs::exists(work / "models" / "TextDecoder.mlmodelc")) return work / "models";
  const std::string make = "'" + generator.string() + "' '" + (work / "checkpoint").string() +
                           "' --preset " + preset.name + " > /dev/null && '" + converter.string() +
                           "' '" + (work / "checkpoint").string() + "' '" +
                           (work / "models").string() + "' > /dev/null";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr,
                 "cannot make the %s model (build kestrune-make-test-model and "
                 "kestrune-convert first)\n",
                 preset.name.c_str());
    std::exit(1);
  }
  return work / "models";
}

MLMultiArray predict(const MLModel& model, const char* input, const MLMultiArray& array,
                     const char* output) {
  return *model.prediction(MLDictionaryFeatureProvider({{input, MLFeatureValue(array)}}))
              ->featureValue(output)
              ->multiArrayValue();
}

std::vector<float> floatsOf(const MLMultiArray& array) {
  std::vector<float> values(static_cast<size_t>(array.count()));
  for (int64_t i = 0; i < array.count(); ++i)
    values[static_cast<size_t>(i)] = float(array.number(i));
  return values;
}

double encoderFlops(const Preset& p) {
  const double d = double(p.width), t = frames;
  const double stem = 2 * d * mels * 3 * 2 * t + 2 * d * d * 3 * t;
  const double block = 2 * t * 12 * d * d + 4 * t * t * d;
  return stem + double(p.layers) * block;
}

// What one step must read: the 16-bit weights of every per-step product
// (four self-attention and two cross-attention projections and the MLP per
// layer, and the token embedding for the logits) and the window's
// cross-attention keys and values in 16 bits.
double decoderStepBytes(const Preset& p) {
  const double d = double(p.width);
  const double weights = double(p.layers) * 14 * d * d + double(vocabulary) * d;
  const double cross = double(p.layers) * 2 * frames * d;
  return 2 * (weights + cross);
}

// ---- plain-loop reference ----------------------------------------------------
// Float32, one thread, loops the compiler may vectorise but no blocking and
// no library: what the runtime would be without its kernels.

namespace reference {

struct Weights {
  std::shared_ptr<const SafeTensors> file;
  std::vector<float> get(const std::string& name) const { return file->floats(name); }
  // [out, in] stored, [in, out] returned, for loops that sweep the outputs.
  std::vector<float> transposed(const std::string& name, size_t out, size_t in) const {
    const auto w = get(name);
    std::vector<float> t(w.size());
    for (size_t o = 0; o < out; ++o)
      for (size_t i = 0; i < in; ++i) t[i * out + o] = w[o * in + i];
    return t;
  }
};

struct Linear {
  std::vector<float> weightT, bias;  // [in, out], [out]
  size_t in = 0, out = 0;
  Linear() = default;
  Linear(const Weights& w, const std::string& prefix, size_t inWidth, size_t outWidth,
         bool withBias = true)
      : weightT(w.transposed(prefix + ".weight", outWidth, inWidth)),
        bias(withBias ? w.get(prefix + ".bias") : std::vector<float>(outWidth, 0.0f)),
        in(inWidth),
        out(outWidth) {}
  // y[rows, out] (= or +=) x[rows, in] W^T + b
  void apply(const float* x, size_t rows, float* y, bool add = false) const {
    for (size_t r = 0; r < rows; ++r) {
      float* row = y + r * out;
      for (size_t o = 0; o < out; ++o) row[o] = (add ? row[o] : 0.0f) + bias[o];
      for (size_t i = 0; i < in; ++i) {
        const float a = x[r * in + i];
        const float* w = weightT.data() + i * out;
        for (size_t o = 0; o < out; ++o) row[o] += a * w[o];
      }
    }
  }
};

struct Norm {
  std::vector<float> gain, bias;
  void apply(const float* x, size_t rows, float* y) const {
    const size_t n = gain.size();
    for (size_t r = 0; r < rows; ++r) {
      double mean = 0, variance = 0;
      for (size_t i = 0; i < n; ++i) mean += x[r * n + i];
      mean /= double(n);
      for (size_t i = 0; i < n; ++i) variance += (x[r * n + i] - mean) * (x[r * n + i] - mean);
      const double scale = 1.0 / std::sqrt(variance / double(n) + 1e-5);
      for (size_t i = 0; i < n; ++i)
        y[r * n + i] = float((x[r * n + i] - mean) * scale) * gain[i] + bias[i];
    }
  }
};

Norm norm(const Weights& w, const std::string& prefix) {
  return {w.get(prefix + ".weight"), w.get(prefix + ".bias")};
}

void gelu(float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + std::erf(x[i] * 0.70710678f));
}

void softmax(float* x, size_t n) {
  const float largest = *std::max_element(x, x + n);
  float sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (x[i] = std::exp(x[i] - largest));
  for (size_t i = 0; i < n; ++i) x[i] /= sum;
}

// Attention of q [rows, d] over k, v [keys, d], heads of d / heads columns.
void attention(const float* q, size_t rows, const float* k, const float* v, size_t keys, size_t d,
               size_t heads, float* out) {
  const size_t hs = d / heads;
  const float scale = 1.0f / std::sqrt(float(hs));
  std::vector<float> keysT(hs * keys), scores(keys);
  for (size_t h = 0; h < heads; ++h) {
    for (size_t j = 0; j < keys; ++j)
      for (size_t c = 0; c < hs; ++c) keysT[c * keys + j] = k[j * d + h * hs + c];
    for (size_t r = 0; r < rows; ++r) {
      std::fill(scores.begin(), scores.end(), 0.0f);
      for (size_t c = 0; c < hs; ++c) {
        const float a = q[r * d + h * hs + c] * scale;
        for (size_t j = 0; j < keys; ++j) scores[j] += a * keysT[c * keys + j];
      }
      softmax(scores.data(), keys);
      float* o = out + r * d + h * hs;
      std::fill(o, o + hs, 0.0f);
      for (size_t j = 0; j < keys; ++j)
        for (size_t c = 0; c < hs; ++c) o[c] += scores[j] * v[j * d + h * hs + c];
    }
  }
}

struct Block {
  Norm attentionNorm, crossNorm, mlpNorm;
  Linear q, k, v, o, crossQ, crossK, crossV, crossO, fc1, fc2;
};

Block block(const Weights& w, const std::string& prefix, size_t d, bool decoder) {
  Block b;
  b.attentionNorm = norm(w, prefix + ".self_attn_layer_norm");
  b.q = Linear(w, prefix + ".self_attn.q_proj", d, d);
  b.k = Linear(w, prefix + ".self_attn.k_proj", d, d, false);
  b.v = Linear(w, prefix + ".self_attn.v_proj", d, d);
  b.o = Linear(w, prefix + ".self_attn.out_proj", d, d);
  if (decoder) {
    b.crossNorm = norm(w, prefix + ".encoder_attn_layer_norm");
    b.crossQ = Linear(w, prefix + ".encoder_attn.q_proj", d, d);
    b.crossK = Linear(w, prefix + ".encoder_attn.k_proj", d, d, false);
    b.crossV = Linear(w, prefix + ".encoder_attn.v_proj", d, d);
    b.crossO = Linear(w, prefix + ".encoder_attn.out_proj", d, d);
  }
  b.mlpNorm = norm(w, prefix + ".final_layer_norm");
  b.fc1 = Linear(w, prefix + ".fc1", d, 4 * d);
  b.fc2 = Linear(w, prefix + ".fc2", 4 * d, d);
  return b;
}

void addMlp(const Block& b, float* x, size_t rows, size_t d) {
  std::vector<float> normed(rows * d), hidden(rows * 4 * d);
  b.mlpNorm.apply(x, rows, normed.data());
  b.fc1.apply(normed.data(), rows, hidden.data());
  gelu(hidden.data(), hidden.size());
  b.fc2.apply(hidden.data(), rows, x, true);
}

class Encoder {
 public:
  Encoder(const fs::path& folder, const Preset& p) : p_(p) {
    const Weights w{SafeTensors::open(folder / platform::ml::ModelManifest::weightsFileName)};
    conv1_ = w.get("encoder.conv1.weight");
    conv1Bias_ = w.get("encoder.conv1.bias");
    conv2_ = w.get("encoder.conv2.weight");
    conv2Bias_ = w.get("encoder.conv2.bias");
    positions_ = w.get("encoder.embed_positions.weight");
    for (size_t l = 0; l < p.layers; ++l)
      blocks_.push_back(block(w, "encoder.layers." + std::to_string(l), p.width, false));
    final_ = norm(w, "encoder.layer_norm");
  }

  // mel [mels, 2 * frames] -> [width, frames] (the runtime's layout).
  std::vector<float> run(const std::vector<float>& mel) const {
    const size_t d = p_.width;
    std::vector<float> first = convolve(mel, mels, 2 * frames, 1, conv1_, conv1Bias_);
    std::vector<float> second = convolve(first, d, 2 * frames, 2, conv2_, conv2Bias_);
    std::vector<float> x(frames * d);
    for (size_t c = 0; c < d; ++c)
      for (size_t t = 0; t < frames; ++t)
        x[t * d + c] = second[c * frames + t] + positions_[t * d + c];
    std::vector<float> normed(x.size()), q(x.size()), k(x.size()), v(x.size()), a(x.size());
    for (const Block& b : blocks_) {
      b.attentionNorm.apply(x.data(), frames, normed.data());
      b.q.apply(normed.data(), frames, q.data());
      b.k.apply(normed.data(), frames, k.data());
      b.v.apply(normed.data(), frames, v.data());
      attention(q.data(), frames, k.data(), v.data(), frames, d, p_.heads, a.data());
      b.o.apply(a.data(), frames, x.data(), true);
      addMlp(b, x.data(), frames, d);
    }
    final_.apply(x.data(), frames, normed.data());
    std::vector<float> out(d * frames);
    for (size_t t = 0; t < frames; ++t)
      for (size_t c = 0; c < d; ++c) out[c * frames + t] = normed[t * d + c];
    return out;
  }

 private:
  std::vector<float> convolve(const std::vector<float>& in, size_t channels, size_t length,
                              size_t stride, const std::vector<float>& w,
                              const std::vector<float>& bias) const {
    const size_t d = p_.width, outLength = (length - 1) / stride + 1;
    std::vector<float> out(d * outLength);
    for (size_t o = 0; o < d; ++o) {
      float* row = out.data() + o * outLength;
      std::fill(row, row + outLength, bias[o]);
      for (size_t i = 0; i < channels; ++i) {
        for (size_t k = 0; k < 3; ++k) {
          const float weight = w[(o * channels + i) * 3 + k];
          const float* source = in.data() + i * length;
          for (size_t t = 0; t < outLength; ++t) {
            const auto s = static_cast<int64_t>(stride * t + k) - 1;
            if (s >= 0 && s < static_cast<int64_t>(length)) row[t] += weight * source[s];
          }
        }
      }
    }
    gelu(out.data(), out.size());
    return out;
  }

  Preset p_;
  std::vector<float> conv1_, conv1Bias_, conv2_, conv2Bias_, positions_;
  std::vector<Block> blocks_;
  Norm final_;
};

// One step at `position` over a cache that is zero before it (the state
// the runtime's step is measured in), with the token's own key and value.
class DecoderStep {
 public:
  DecoderStep(const fs::path& folder, const Preset& p, const std::vector<float>& encoderOutput)
      : p_(p) {
    const Weights w{SafeTensors::open(folder / platform::ml::ModelManifest::weightsFileName)};
    const size_t d = p.width;
    embedding_ = w.get("decoder.embed_tokens.weight");
    embeddingT_ = w.transposed("decoder.embed_tokens.weight", vocabulary, d);
    positions_ = w.get("decoder.embed_positions.weight");
    for (size_t l = 0; l < p.layers; ++l)
      blocks_.push_back(block(w, "decoder.layers." + std::to_string(l), d, true));
    final_ = norm(w, "decoder.layer_norm");
    std::vector<float> rows(frames * d);
    for (size_t c = 0; c < d; ++c)
      for (size_t t = 0; t < frames; ++t) rows[t * d + c] = encoderOutput[c * frames + t];
    for (const Block& b : blocks_) {  // once per window, as in the runtime
      crossKeys_.emplace_back(frames * d);
      crossValues_.emplace_back(frames * d);
      b.crossK.apply(rows.data(), frames, crossKeys_.back().data());
      b.crossV.apply(rows.data(), frames, crossValues_.back().data());
    }
  }

  std::vector<float> run(size_t token, size_t position) const {
    const size_t d = p_.width, keys = position + 1;
    std::vector<float> x(d), normed(d), q(d), a(d), logits(vocabulary);
    std::vector<float> k(keys * d, 0.0f), v(keys * d, 0.0f);
    for (size_t c = 0; c < d; ++c) x[c] = embedding_[token * d + c] + positions_[position * d + c];
    for (size_t l = 0; l < blocks_.size(); ++l) {
      const Block& b = blocks_[l];
      b.attentionNorm.apply(x.data(), 1, normed.data());
      b.q.apply(normed.data(), 1, q.data());
      b.k.apply(normed.data(), 1, k.data() + position * d);
      b.v.apply(normed.data(), 1, v.data() + position * d);
      attention(q.data(), 1, k.data(), v.data(), keys, d, p_.heads, a.data());
      b.o.apply(a.data(), 1, x.data(), true);
      b.crossNorm.apply(x.data(), 1, normed.data());
      b.crossQ.apply(normed.data(), 1, q.data());
      attention(q.data(), 1, crossKeys_[l].data(), crossValues_[l].data(), frames, d, p_.heads,
                a.data());
      b.crossO.apply(a.data(), 1, x.data(), true);
      addMlp(b, x.data(), 1, d);
    }
    final_.apply(x.data(), 1, normed.data());
    for (size_t i = 0; i < d; ++i) {
      const float h = normed[i];
      const float* e = embeddingT_.data() + i * vocabulary;
      for (size_t t = 0; t < vocabulary; ++t) logits[t] += h * e[t];
    }
    return logits;
  }

 private:
  Preset p_;
  std::vector<float> embedding_, embeddingT_, positions_;
  std::vector<Block> blocks_;
  std::vector<std::vector<float>> crossKeys_, crossValues_;
  Norm final_;
};

}  // namespace reference

// Largest difference relative to the largest magnitude of the reference.
double relativeDifference(const std::vector<float>& value, const std::vector<float>& expected) {
  double difference = 0, magnitude = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    difference = std::max(difference, std::fabs(double(value[i]) - expected[i]));
    magnitude = std::max(magnitude, std::fabs(double(expected[i])));
  }
  return difference / std::max(magnitude, 1e-30);
}

struct Options {
  std::vector<std::string> models{"tiny", "base"};
  bool reference = true;
  size_t steps = 0;  // with --steps: only the decoder, that many steps (for profiles)
  size_t repeat = 5;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--no-reference") {
      options.reference = false;
    } else if (argument == "--steps" && i + 1 < argc) {
      options.steps = std::max<size_t>(1, std::strtoul(argv[++i], nullptr, 10));
    } else if (argument == "--repeat" && i + 1 < argc) {
      options.repeat = std::max<size_t>(1, std::strtoul(argv[++i], nullptr, 10));
    } else if (argument == "--models" && i + 1 < argc) {
      options.models.clear();
      std::stringstream list(argv[++i]);
      for (std::string name; std::getline(list, name, ',');) options.models.push_back(name);
    } else {
      std::fprintf(stderr,
                   "usage: model_ratios_bench [--models tiny,base] [--no-reference] "
                   "[--repeat N]\n");
      std::exit(2);
    }
  }
  return options;
}

void benchModel(const Preset& preset, const Options& options, Rate peak, Rate bandwidth) {
  const fs::path folder = modelFolder(preset);
  const auto melModel = MLModel::load(folder / "MelSpectrogram.mlmodelc");
  const auto encoder = MLModel::load(folder / "AudioEncoder.mlmodelc");
  const auto decoder = MLModel::load(folder / "TextDecoder.mlmodelc");
  const int64_t samples = melModel->modelDescription()
                              .inputDescriptionsByName.at("audio")
                              .multiArrayConstraint->shape[0];
  MLMultiArray audio({samples}, MLMultiArrayDataType::float32);
  std::mt19937 generator(3);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  for (int64_t i = 0; i < samples; ++i)
    audio.data<float>()[i] = 0.3f * std::sin(0.06f * float(i)) + noise(generator);

  std::optional<MLMultiArray> features, embeds, logits;
  const size_t repeat = options.steps > 0 ? 0 : options.repeat;
  const Timing melTime = medianTiming(repeat * 4, [&] {
    features = predict(*melModel, "audio", audio, "melspectrogram_features");
  });
  const Timing encoderTime = medianTiming(repeat, [&] {
    embeds = predict(*encoder, "melspectrogram_features", *features, "encoder_output_embeds");
  });

  // One step at position 8 with the window's cross-attention already made
  // (as for every step but the first).
  const auto& inputs = decoder->modelDescription().inputDescriptionsByName;
  std::map<std::string, MLFeatureValue, std::less<>> arrays;
  for (const auto& [name, description] : inputs) {
    arrays.emplace(name, MLFeatureValue(MLMultiArray(description.multiArrayConstraint->shape,
                                                     description.multiArrayConstraint->dataType)));
  }
  constexpr size_t token = 50258, position = 8;
  auto cacheLength = *arrays.at("cache_length").multiArrayValue();
  cacheLength.setNumber(0, position);
  auto ids = *arrays.at("input_ids").multiArrayValue();
  ids.setNumber(0, token);
  auto mask = *arrays.at("kv_cache_update_mask").multiArrayValue();
  mask.setNumber(position, 1);
  auto padding = *arrays.at("decoder_key_padding_mask").multiArrayValue();
  for (int64_t j = position + 1; j < padding.count(); ++j) padding.setNumber(j, -10000);
  arrays.erase("encoder_output_embeds");
  arrays.emplace("encoder_output_embeds", MLFeatureValue(*embeds));
  const MLDictionaryFeatureProvider provider(arrays);
  if (options.steps > 0) {
    const Timing profiled = medianTiming(options.steps, [&] {
      logits = *decoder->prediction(provider)->featureValue("logits")->multiArrayValue();
    });
    std::printf("%zu decoder steps: median %.2f ms wall, %.2f ms processor\n", options.steps,
                profiled.wall * 1e3, profiled.cpu * 1e3);
    return;
  }
  const Timing stepTime = medianTiming(options.repeat * 10, [&] {
    logits = *decoder->prediction(provider)->featureValue("logits")->multiArrayValue();
  });
  // A step of a new window: its encoder output differs, so the step first
  // makes the window's cross-attention keys and values.
  auto freshEmbeds = embeds->copy();
  arrays.erase("encoder_output_embeds");
  arrays.emplace("encoder_output_embeds", MLFeatureValue(freshEmbeds));
  const MLDictionaryFeatureProvider freshProvider(arrays);
  float marker = 0.0f;
  const Timing firstStepTime = medianTiming(options.repeat, [&] {
    freshEmbeds.setNumber(0, marker += 0.001f);
    decoder->prediction(freshProvider);
  });

  const double flops = encoderFlops(preset);
  const double bytes = decoderStepBytes(preset);
  const double n = double(cores());
  std::printf(
      "\n== %s-sized model (%zu layers, d %zu, %zu heads, vocabulary %zu), 16-bit weights\n",
      preset.name.c_str(), preset.layers, preset.width, preset.heads, vocabulary);
  std::printf("  (wall ms | idle ms = processor ms / %zu cores; shares and verdicts on each)\n",
              cores());
  std::printf("  mel spectrogram, one 30 s window  %8.2f | %8.2f ms (target < 10 ms: %s | %s)\n",
              melTime.wall * 1e3, melTime.cpu / n * 1e3, melTime.wall < 0.010 ? "met" : "not met",
              melTime.cpu / n < 0.010 ? "met" : "not met");
  const Rate encoderRate = rateOf(flops, encoderTime);
  std::printf(
      "  encoder, one window               %8.1f | %8.1f ms  %.1f GFLOP: %.0f | %.0f GFLOP/s "
      "= %.0f%% | %.0f%% of the SGEMM peak (target >= 55%%: %s | %s)\n",
      encoderTime.wall * 1e3, encoderTime.cpu / n * 1e3, flops / 1e9, encoderRate.wall / 1e9,
      encoderRate.idle / 1e9, 100 * encoderRate.wall / peak.wall,
      100 * encoderRate.idle / peak.idle, encoderRate.wall >= 0.55 * peak.wall ? "met" : "not met",
      encoderRate.idle >= 0.55 * peak.idle ? "met" : "not met");
  const Rate stepRate = rateOf(bytes, stepTime);
  std::printf(
      "  decoder step                      %8.2f | %8.2f ms  %.1f MB: %.1f | %.1f GB/s = "
      "%.0f%% | %.0f%% of the bandwidth, %.2fx | %.2fx the bound (target <= 1.4x: %s | %s)\n",
      stepTime.wall * 1e3, stepTime.cpu / n * 1e3, bytes / 1e6, stepRate.wall / 1e9,
      stepRate.idle / 1e9, 100 * stepRate.wall / bandwidth.wall,
      100 * stepRate.idle / bandwidth.idle, bandwidth.wall / stepRate.wall,
      bandwidth.idle / stepRate.idle, bandwidth.wall / stepRate.wall <= 1.4 ? "met" : "not met",
      bandwidth.idle / stepRate.idle <= 1.4 ? "met" : "not met");
  std::printf(
      "  first step of a window (makes the cross-attention keys and values) %.2f | %.2f "
      "ms, then %.2f | %.2f ms a step\n",
      firstStepTime.wall * 1e3, firstStepTime.cpu / n * 1e3, stepTime.wall * 1e3,
      stepTime.cpu / n * 1e3);
  if (!options.reference) return;

  const std::vector<float> mel = floatsOf(*features);
  const reference::Encoder plainEncoder(folder / "AudioEncoder.mlmodelc", preset);
  std::vector<float> plainEmbeds;
  const Timing plainEncoderTime = medianTiming(0, [&] { plainEmbeds = plainEncoder.run(mel); });
  const std::vector<float> runtimeEmbeds = floatsOf(*embeds);
  const reference::DecoderStep plainDecoder(folder / "TextDecoder.mlmodelc", preset, runtimeEmbeds);
  std::vector<float> plainLogits;
  const Timing plainStepTime =
      medianTiming(3, [&] { plainLogits = plainDecoder.run(token, position); });
  // The reference runs on one thread: its processor time is its idle time.
  std::printf("  plain-loop reference (float32, no BLAS, one thread), speed-up of the runtime:\n");
  std::printf(
      "    encoder      %8.0f | %8.0f ms: %.1fx | %.1fx; outputs differ by %.2g of their "
      "largest magnitude\n",
      plainEncoderTime.wall * 1e3, plainEncoderTime.cpu * 1e3,
      plainEncoderTime.wall / encoderTime.wall, plainEncoderTime.cpu / (encoderTime.cpu / n),
      relativeDifference(runtimeEmbeds, plainEmbeds));
  std::printf(
      "    decoder step %8.1f | %8.1f ms: %.1fx | %.1fx; logits differ by %.2g of their "
      "largest magnitude\n",
      plainStepTime.wall * 1e3, plainStepTime.cpu * 1e3, plainStepTime.wall / stepTime.wall,
      plainStepTime.cpu / (stepTime.cpu / n), relativeDifference(floatsOf(*logits), plainLogits));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  std::printf("machine: %s, %zu pool threads, load average %s\n",
              firstLine("/proc/cpuinfo", "model name\t: ").c_str(),
              ThreadPool::shared().threadCount(), firstLine("/proc/loadavg").c_str());
  std::printf("GEMM: %s; 16-bit kernels: %s\n", platform::ml::kernels::gemmImplementation().c_str(),
              std::string(platform::ml::kernels::halfKernelLevelName(
                              platform::ml::kernels::HalfKernelLevel::best))
                  .c_str());
  const Rate peak = options.steps > 0 ? Rate{} : sgemmPeak(options.repeat);
  const Rate bandwidth = options.steps > 0 ? Rate{} : readBandwidth(options.repeat);
  std::printf(
      "limits (wall | idle): SGEMM peak %.0f | %.0f GFLOP/s (2048 square, every core); read "
      "bandwidth %.1f | %.1f GB/s (512 MiB sum, every core)\n",
      peak.wall / 1e9, peak.idle / 1e9, bandwidth.wall / 1e9, bandwidth.idle / 1e9);
  if (options.steps == 0) {
    const Rate product = halfProductRate(options.repeat);
    std::printf(
        "16-bit matrix-vector product, 51865 x 384: %.1f | %.1f GB/s = %.0f%% | %.0f%% of "
        "the bandwidth\n",
        product.wall / 1e9, product.idle / 1e9, 100 * product.wall / bandwidth.wall,
        100 * product.idle / bandwidth.idle);
  }
  for (const std::string& name : options.models) {
    const auto preset = std::find_if(std::begin(presets), std::end(presets),
                                     [&](const Preset& p) { return p.name == name; });
    if (preset == std::end(presets)) {
      std::fprintf(stderr, "unknown model \"%s\" (tiny or base)\n", name.c_str());
      return 2;
    }
    benchModel(*preset, options, peak, bandwidth);
  }
  std::printf("\nload average at the end: %s\n", firstLine("/proc/loadavg").c_str());
  return 0;
}

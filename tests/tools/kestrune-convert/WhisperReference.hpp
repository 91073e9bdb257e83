#pragma once

// A plain-loop Whisper forward pass (no cache, no BLAS, double accumulation)
// over a checkpoint's own tensors, to check the runtime's executors against.

#include <cmath>
#include <string>
#include <vector>

#include "Platform/ML/SafeTensors.hpp"

namespace kestrune::testing {

using Matrix = std::vector<std::vector<float>>;  // rows of columns

class WhisperReference {
 public:
  WhisperReference(const platform::ml::SafeTensors& weights, size_t width, size_t heads)
      : weights_(weights), width_(width), heads_(heads) {}

  std::vector<float> tensor(const std::string& name) const {
    return weights_.floats("model." + name);
  }

  Matrix layerNorm(const Matrix& x, const std::string& prefix) const {
    const auto gain = tensor(prefix + ".weight"), bias = tensor(prefix + ".bias");
    Matrix out = x;
    for (auto& row : out) {
      double mean = 0, variance = 0;
      for (float v : row) mean += v;
      mean /= row.size();
      for (float v : row) variance += (v - mean) * (v - mean);
      variance /= row.size();
      for (size_t c = 0; c < row.size(); ++c) {
        row[c] =
            static_cast<float>((row[c] - mean) / std::sqrt(variance + 1e-5) * gain[c] + bias[c]);
      }
    }
    return out;
  }

  Matrix linear(const Matrix& x, const std::string& prefix, bool bias = true) const {
    const auto weight = tensor(prefix + ".weight");
    const std::vector<float> b = bias ? tensor(prefix + ".bias") : std::vector<float>();
    const size_t in = x.front().size(), out = weight.size() / in;
    Matrix result(x.size(), std::vector<float>(out));
    for (size_t r = 0; r < x.size(); ++r) {
      for (size_t o = 0; o < out; ++o) {
        double sum = bias ? b[o] : 0.0;
        for (size_t i = 0; i < in; ++i) sum += double(weight[o * in + i]) * x[r][i];
        result[r][o] = static_cast<float>(sum);
      }
    }
    return result;
  }

  static float gelu(float x) {
    return static_cast<float>(0.5 * x * (1 + std::erf(x / std::sqrt(2.0))));
  }

  // Attention of q over k/v; `causal` limits row r to keys 0..r. When
  // `probabilities` is given it receives [head][query][key].
  Matrix attention(const Matrix& q, const Matrix& k, const Matrix& v, bool causal,
                   std::vector<Matrix>* probabilities = nullptr) const {
    const size_t headSize = width_ / heads_;
    Matrix out(q.size(), std::vector<float>(width_));
    if (probabilities)
      probabilities->assign(heads_, Matrix(q.size(), std::vector<float>(k.size())));
    for (size_t h = 0; h < heads_; ++h) {
      for (size_t r = 0; r < q.size(); ++r) {
        const size_t keys = causal ? r + 1 : k.size();
        std::vector<double> scores(keys);
        double largest = -INFINITY;
        for (size_t j = 0; j < keys; ++j) {
          double dot = 0;
          for (size_t c = 0; c < headSize; ++c)
            dot += double(q[r][h * headSize + c]) * k[j][h * headSize + c];
          scores[j] = dot / std::sqrt(double(headSize));
          largest = std::max(largest, scores[j]);
        }
        double total = 0;
        for (auto& s : scores) total += (s = std::exp(s - largest));
        for (auto& s : scores) s /= total;
        if (probabilities) {
          for (size_t j = 0; j < keys; ++j) (*probabilities)[h][r][j] = float(scores[j]);
        }
        for (size_t c = 0; c < headSize; ++c) {
          double sum = 0;
          for (size_t j = 0; j < keys; ++j) sum += scores[j] * v[j][h * headSize + c];
          out[r][h * headSize + c] = float(sum);
        }
      }
    }
    return out;
  }

  static void add(Matrix& x, const Matrix& y) {
    for (size_t r = 0; r < x.size(); ++r)
      for (size_t c = 0; c < x[r].size(); ++c) x[r][c] += y[r][c];
  }

  void mlp(Matrix& x, const std::string& prefix) const {
    auto hidden = linear(layerNorm(x, prefix + ".final_layer_norm"), prefix + ".fc1");
    for (auto& row : hidden)
      for (auto& v : row) v = gelu(v);
    add(x, linear(hidden, prefix + ".fc2"));
  }

  // mel [mels][2T] -> encoder output rows [T][width].
  Matrix encode(const Matrix& mel, size_t layers) const {
    const auto conv = [&](const Matrix& in, const std::string& name, size_t stride) {
      const auto weight = tensor(name + ".weight"), bias = tensor(name + ".bias");
      const size_t channels = in.size(), length = in.front().size(), out = bias.size();
      const size_t outLength = (length - 1) / stride + 1;
      Matrix result(out, std::vector<float>(outLength));
      for (size_t o = 0; o < out; ++o) {
        for (size_t t = 0; t < outLength; ++t) {
          double sum = bias[o];
          for (size_t i = 0; i < channels; ++i) {
            for (size_t k = 0; k < 3; ++k) {
              const long source = long(stride * t + k) - 1;
              if (source >= 0 && source < long(length))
                sum += double(weight[(o * channels + i) * 3 + k]) * in[i][source];
            }
          }
          result[o][t] = gelu(float(sum));
        }
      }
      return result;
    };
    const Matrix second = conv(conv(mel, "encoder.conv1", 1), "encoder.conv2", 2);
    const auto positions = tensor("encoder.embed_positions.weight");
    const size_t frames = second.front().size();
    Matrix x(frames, std::vector<float>(width_));
    for (size_t t = 0; t < frames; ++t)
      for (size_t c = 0; c < width_; ++c) x[t][c] = second[c][t] + positions[t * width_ + c];
    for (size_t l = 0; l < layers; ++l) {
      const std::string p = "encoder.layers." + std::to_string(l);
      const auto normed = layerNorm(x, p + ".self_attn_layer_norm");
      add(x, linear(attention(linear(normed, p + ".self_attn.q_proj"),
                              linear(normed, p + ".self_attn.k_proj", false),
                              linear(normed, p + ".self_attn.v_proj"), false),
                    p + ".self_attn.out_proj"));
      mlp(x, p);
    }
    return layerNorm(x, "encoder.layer_norm");
  }

  struct DecoderResult {
    std::vector<float> logits;     // of the last token
    std::vector<float> alignment;  // mean over the heads given, last token
  };

  DecoderResult decode(const std::vector<int>& tokens, const Matrix& encoderRows, size_t layers,
                       const std::vector<std::pair<size_t, size_t>>& alignmentHeads) const {
    const auto embedding = tensor("decoder.embed_tokens.weight");
    const auto positions = tensor("decoder.embed_positions.weight");
    Matrix x(tokens.size(), std::vector<float>(width_));
    for (size_t p = 0; p < tokens.size(); ++p)
      for (size_t c = 0; c < width_; ++c)
        x[p][c] = embedding[tokens[p] * width_ + c] + positions[p * width_ + c];
    DecoderResult result;
    result.alignment.assign(encoderRows.size(), 0.0f);
    for (size_t l = 0; l < layers; ++l) {
      const std::string p = "decoder.layers." + std::to_string(l);
      auto normed = layerNorm(x, p + ".self_attn_layer_norm");
      add(x, linear(attention(linear(normed, p + ".self_attn.q_proj"),
                              linear(normed, p + ".self_attn.k_proj", false),
                              linear(normed, p + ".self_attn.v_proj"), true),
                    p + ".self_attn.out_proj"));
      normed = layerNorm(x, p + ".encoder_attn_layer_norm");
      std::vector<Matrix> probabilities;
      add(x,
          linear(attention(linear(normed, p + ".encoder_attn.q_proj"),
                           linear(encoderRows, p + ".encoder_attn.k_proj", false),
                           linear(encoderRows, p + ".encoder_attn.v_proj"), false, &probabilities),
                 p + ".encoder_attn.out_proj"));
      for (const auto& [layer, head] : alignmentHeads) {
        if (layer != l) continue;
        for (size_t f = 0; f < encoderRows.size(); ++f)
          result.alignment[f] += probabilities[head].back()[f] / float(alignmentHeads.size());
      }
      mlp(x, p);
    }
    const auto last = layerNorm(x, "decoder.layer_norm").back();
    const size_t vocabulary = embedding.size() / width_;
    result.logits.resize(vocabulary);
    for (size_t v = 0; v < vocabulary; ++v) {
      double sum = 0;
      for (size_t c = 0; c < width_; ++c) sum += double(embedding[v * width_ + c]) * last[c];
      result.logits[v] = float(sum);
    }
    return result;
  }

 private:
  const platform::ml::SafeTensors& weights_;
  size_t width_, heads_;
};

}  // namespace kestrune::testing

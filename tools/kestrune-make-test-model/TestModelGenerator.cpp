#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace kestrune::tools {

namespace {

using platform::ml::TensorToWrite;

// splitmix64 and Box-Muller: the same weights from the same seed on every
// platform and standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  double uniform() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) / 9007199254740992.0;
  }
  float normal(float deviation) {
    const double radius = std::sqrt(-2.0 * std::log(uniform()));
    return static_cast<float>(radius * std::cos(2.0 * M_PI * uniform()) * deviation);
  }

 private:
  uint64_t state_;
};

class Writer {
 public:
  Writer(const TestModelDimensions& dims) : dims_(dims), random_(dims.seed) {}

  void normal(const std::string& name, std::vector<int64_t> shape, float deviation,
              float mean = 0.0f) {
    int64_t count = 1;
    for (const int64_t dimension : shape) count *= dimension;
    std::vector<float> values(static_cast<size_t>(count));
    for (float& value : values) value = mean + random_.normal(deviation);
    tensors_.push_back({name, dims_.dtype, std::move(shape), std::move(values)});
  }
  // A projection whose outputs keep the size of its inputs.
  void linear(const std::string& prefix, int64_t in, int64_t out, bool bias = true) {
    normal(prefix + ".weight", {out, in}, 1.0f / std::sqrt(static_cast<float>(in)));
    if (bias) normal(prefix + ".bias", {out}, 0.02f);
  }
  void norm(const std::string& prefix, int64_t width) {
    normal(prefix + ".weight", {width}, 0.05f, 1.0f);
    normal(prefix + ".bias", {width}, 0.02f);
  }
  void attention(const std::string& prefix, int64_t width) {
    linear(prefix + ".q_proj", width, width);
    linear(prefix + ".k_proj", width, width, false);
    linear(prefix + ".v_proj", width, width);
    linear(prefix + ".out_proj", width, width);
  }
  void mlp(const std::string& prefix, int64_t width) {
    linear(prefix + ".fc1", width, 4 * width);
    linear(prefix + ".fc2", 4 * width, width);
  }
  std::vector<TensorToWrite>& tensors() { return tensors_; }

 private:
  const TestModelDimensions& dims_;
  Random random_;
  std::vector<TensorToWrite> tensors_;
};

void writeJson(const std::filesystem::path& file, const nlohmann::json& value) {
  std::ofstream out(file, std::ios::trunc);
  out << value.dump(2) << "\n";
  if (!out) throw std::runtime_error("Cannot write " + file.string());
}

}  // namespace

void writeTestCheckpoint(const std::filesystem::path& folder, TestModelDimensions dims) {
  if (dims.width <= 0 || dims.heads <= 0 || dims.width % dims.heads != 0 ||
      dims.encoderLayers <= 0 || dims.decoderLayers <= 0 || dims.melBins <= 0 ||
      dims.sourcePositions <= 0 || dims.targetPositions <= 0) {
    throw std::runtime_error(
        "The test model dimensions must be positive, with the width a "
        "multiple of the head count");
  }
  std::filesystem::create_directories(folder);
  if (!dims.tokenizerFolder.empty()) {
    for (const char* name : {"tokenizer.json", "tokenizer_config.json", "config.json"}) {
      const auto source = dims.tokenizerFolder / name;
      if (!std::filesystem::exists(source)) {
        throw std::runtime_error("The tokenizer folder lacks " + source.string());
      }
      if (std::string(name) != "config.json") {
        std::filesystem::copy_file(source, folder / name,
                                   std::filesystem::copy_options::overwrite_existing);
      }
    }
    std::ifstream in(dims.tokenizerFolder / "config.json");
    const auto config = nlohmann::json::parse(in, nullptr, false);
    if (config.is_object() && config.contains("vocab_size")) {
      dims.vocabulary = config["vocab_size"].get<int64_t>();
    }
  }
  if (dims.vocabulary <= 0) throw std::runtime_error("The vocabulary size must be positive");

  const int64_t d = dims.width;
  Writer writer(dims);
  writer.normal("model.encoder.conv1.weight", {d, dims.melBins, 3},
                1.0f / std::sqrt(static_cast<float>(3 * dims.melBins)));
  writer.normal("model.encoder.conv1.bias", {d}, 0.02f);
  writer.normal("model.encoder.conv2.weight", {d, d, 3},
                1.0f / std::sqrt(static_cast<float>(3 * d)));
  writer.normal("model.encoder.conv2.bias", {d}, 0.02f);
  writer.normal("model.encoder.embed_positions.weight", {dims.sourcePositions, d}, 0.2f);
  for (int64_t l = 0; l < dims.encoderLayers; ++l) {
    const std::string prefix = "model.encoder.layers." + std::to_string(l);
    writer.attention(prefix + ".self_attn", d);
    writer.norm(prefix + ".self_attn_layer_norm", d);
    writer.mlp(prefix, d);
    writer.norm(prefix + ".final_layer_norm", d);
  }
  writer.norm("model.encoder.layer_norm", d);
  writer.normal("model.decoder.embed_tokens.weight", {dims.vocabulary, d}, 0.5f);
  writer.normal("model.decoder.embed_positions.weight", {dims.targetPositions, d}, 0.2f);
  for (int64_t l = 0; l < dims.decoderLayers; ++l) {
    const std::string prefix = "model.decoder.layers." + std::to_string(l);
    writer.attention(prefix + ".self_attn", d);
    writer.norm(prefix + ".self_attn_layer_norm", d);
    writer.attention(prefix + ".encoder_attn", d);
    writer.norm(prefix + ".encoder_attn_layer_norm", d);
    writer.mlp(prefix, d);
    writer.norm(prefix + ".final_layer_norm", d);
  }
  writer.norm("model.decoder.layer_norm", d);
  platform::ml::writeSafeTensors(folder / "model.safetensors", writer.tensors(),
                                 {{"format", "pt"}});

  writeJson(folder / "config.json", {{"model_type", "whisper"},
                                     {"d_model", d},
                                     {"encoder_layers", dims.encoderLayers},
                                     {"decoder_layers", dims.decoderLayers},
                                     {"encoder_attention_heads", dims.heads},
                                     {"decoder_attention_heads", dims.heads},
                                     {"encoder_ffn_dim", 4 * d},
                                     {"decoder_ffn_dim", 4 * d},
                                     {"num_mel_bins", dims.melBins},
                                     {"vocab_size", dims.vocabulary},
                                     {"max_source_positions", dims.sourcePositions},
                                     {"max_target_positions", dims.targetPositions}});
  if (dims.writeAlignmentHeads) {
    // The last layer's heads, as the real checkpoints mostly choose late layers.
    nlohmann::json heads = nlohmann::json::array();
    for (int64_t h = 0; h < dims.heads; h += 2) heads.push_back({dims.decoderLayers - 1, h});
    writeJson(folder / "generation_config.json", {{"alignment_heads", heads}});
  }
}

}  // namespace kestrune::tools

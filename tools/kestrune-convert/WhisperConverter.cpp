#include "tools/kestrune-convert/WhisperConverter.hpp"

#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "Platform/ML/ModelManifest.hpp"
#include "Platform/ML/PlatformMLError.hpp"
#include "tools/kestrune-convert/MelFilterBank.hpp"

namespace kestrune::tools {

namespace {

using nlohmann::json;
using platform::ml::MLFeatureDescription;
using platform::ml::MLFeatureType;
using platform::ml::MLMultiArrayDataType;
using platform::ml::ModelManifest;
using platform::ml::SafeTensors;
using platform::ml::TensorDType;
using platform::ml::TensorInfo;
using platform::ml::TensorToWrite;

constexpr int64_t hopLength = 160;

json readJson(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) throw ConversionError(file.string() + ": the file is missing or unreadable");
  try {
    return json::parse(in);
  } catch (const json::exception& error) {
    throw ConversionError(file.string() + ": not valid JSON: " + error.what());
  }
}

struct Dimensions {
  int64_t width, encoderLayers, decoderLayers, encoderHeads, decoderHeads, mels, vocabulary,
      sourcePositions, targetPositions;
};

Dimensions readDimensions(const std::filesystem::path& file) {
  const json config = readJson(file);
  const auto integer = [&](const char* key) {
    const auto found = config.find(key);
    if (found == config.end() || !found->is_number_integer() || found->get<int64_t>() <= 0) {
      throw ConversionError(file.string() + ": \"" + key +
                            "\" is missing or not a positive integer");
    }
    return found->get<int64_t>();
  };
  Dimensions d{integer("d_model"),
               integer("encoder_layers"),
               integer("decoder_layers"),
               integer("encoder_attention_heads"),
               integer("decoder_attention_heads"),
               integer("num_mel_bins"),
               integer("vocab_size"),
               integer("max_source_positions"),
               integer("max_target_positions")};
  for (const char* key : {"encoder_ffn_dim", "decoder_ffn_dim"}) {
    if (config.contains(key) && integer(key) != 4 * d.width) {
      throw ConversionError(file.string() + ": \"" + key + "\" must be 4 x d_model");
    }
  }
  if (d.width % d.encoderHeads != 0 || d.width % d.decoderHeads != 0) {
    throw ConversionError(file.string() + ": d_model does not split into the attention heads");
  }
  return d;
}

// The checkpoint's tensors over one or several safetensors files.
class Checkpoint {
 public:
  explicit Checkpoint(const std::filesystem::path& folder) {
    const auto single = folder / "model.safetensors";
    const auto index = folder / "model.safetensors.index.json";
    try {
      if (std::filesystem::exists(single)) {
        add(SafeTensors::open(single));
      } else if (std::filesystem::exists(index)) {
        const json map = readJson(index);
        if (!map.contains("weight_map") || !map["weight_map"].is_object()) {
          throw ConversionError(index.string() + ": no \"weight_map\" object");
        }
        std::map<std::string, std::shared_ptr<const SafeTensors>> shards;
        for (const auto& [name, file] : map["weight_map"].items()) {
          if (!file.is_string()) throw ConversionError(index.string() + ": bad entry " + name);
          auto& shard = shards[file.get<std::string>()];
          if (!shard) add(shard = SafeTensors::open(folder / file.get<std::string>()));
        }
      } else {
        throw ConversionError(folder.string() +
                              ": no model.safetensors or model.safetensors.index.json");
      }
    } catch (const platform::ml::PlatformMLError& error) {
      throw ConversionError(error.what());
    }
  }

  // The tensor "model.<name>" (or "<name>"), checked against its shape.
  std::pair<const SafeTensors*, const TensorInfo*> find(const std::string& name,
                                                        const std::vector<int64_t>& shape) const {
    for (const std::string& candidate : {"model." + name, name}) {
      const auto found = owners_.find(candidate);
      if (found == owners_.end()) continue;
      const TensorInfo* info = found->second->find(candidate);
      if (info->shape != shape) {
        throw ConversionError(found->second->path().string() + ": tensor \"" + candidate +
                              "\" has the shape " + platform::ml::shapeText(info->shape) +
                              ", expected " + platform::ml::shapeText(shape));
      }
      return {found->second.get(), info};
    }
    throw ConversionError("The checkpoint lacks the tensor \"model." + name + "\"");
  }
  std::vector<float> floats(const std::string& name, const std::vector<int64_t>& shape) const {
    const auto [file, info] = find(name, shape);
    std::vector<float> values(static_cast<size_t>(info->count));
    file->readFloats(*info, values);
    return values;
  }
  bool has(const std::string& name) const {
    return owners_.count("model." + name) > 0 || owners_.count(name) > 0;
  }

 private:
  void add(const std::shared_ptr<const SafeTensors>& file) {
    for (const auto& [name, info] : file->tensors()) owners_[name] = file;
  }
  std::map<std::string, std::shared_ptr<const SafeTensors>> owners_;
};

// The tensors one model takes from the checkpoint, by name and shape.
class TensorList {
 public:
  void add(const std::string& name, std::vector<int64_t> shape) {
    names_.push_back(name);
    shapes_.push_back(std::move(shape));
  }
  void linear(const std::string& prefix, int64_t in, int64_t out, bool bias = true) {
    add(prefix + ".weight", {out, in});
    if (bias) add(prefix + ".bias", {out});
  }
  void norm(const std::string& prefix, int64_t width) {
    add(prefix + ".weight", {width});
    add(prefix + ".bias", {width});
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
  // Checks every tensor first, then streams them into the weights file.
  void write(const Checkpoint& checkpoint, const std::filesystem::path& file,
             TensorDType dtype) const {
    std::vector<TensorToWrite> tensors;
    for (size_t i = 0; i < names_.size(); ++i) {
      checkpoint.find(names_[i], shapes_[i]);
      tensors.push_back({names_[i], dtype, shapes_[i], {}});
    }
    platform::ml::writeSafeTensors(
        file, tensors, [&](size_t i) { return checkpoint.floats(names_[i], shapes_[i]); });
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::vector<int64_t>> shapes_;
};

MLFeatureDescription feature(std::string name, MLMultiArrayDataType type,
                             std::vector<int64_t> shape) {
  return {std::move(name), MLFeatureType::multiArray,
          platform::ml::MLMultiArrayConstraint{std::move(shape), type}};
}

void writeManifest(const std::filesystem::path& folder, const ModelManifest& manifest) {
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / ModelManifest::fileName, std::ios::trunc);
  out << manifest.serialized();
  if (!out) throw ConversionError("Cannot write " + (folder / ModelManifest::fileName).string());
}

json alignmentHeads(const std::filesystem::path& checkpoint, const Dimensions& d) {
  const auto file = checkpoint / "generation_config.json";
  if (std::filesystem::exists(file)) {
    const json config = readJson(file);
    if (config.contains("alignment_heads")) {
      const json& heads = config["alignment_heads"];
      bool valid = heads.is_array() && !heads.empty();
      for (const auto& pair : heads) {
        valid = valid && pair.is_array() && pair.size() == 2 && pair[0].is_number_unsigned() &&
                pair[1].is_number_unsigned() && pair[0].get<int64_t>() < d.decoderLayers &&
                pair[1].get<int64_t>() < d.decoderHeads;
      }
      if (!valid) throw ConversionError(file.string() + ": bad \"alignment_heads\"");
      return heads;
    }
  }
  // Without a choice, every head of the upper half of the decoder.
  json heads = json::array();
  for (int64_t layer = d.decoderLayers / 2; layer < d.decoderLayers; ++layer) {
    for (int64_t head = 0; head < d.decoderHeads; ++head) heads.push_back({layer, head});
  }
  return heads;
}

void checkTiedProjection(const Checkpoint& checkpoint, const Dimensions& d) {
  if (!checkpoint.has("proj_out.weight")) return;
  const std::vector<int64_t> shape{d.vocabulary, d.width};
  if (checkpoint.floats("proj_out.weight", shape) !=
      checkpoint.floats("decoder.embed_tokens.weight", shape)) {
    throw ConversionError(
        "The checkpoint's proj_out.weight differs from its token embedding; only tied output "
        "projections are supported");
  }
}

}  // namespace

void convertCheckpoint(const std::filesystem::path& checkpointFolder,
                       const std::filesystem::path& output, const ConvertOptions& options) {
  const Dimensions d = readDimensions(checkpointFolder / "config.json");
  if (options.cacheLength <= 0 || options.cacheLength > d.targetPositions) {
    throw ConversionError("The cache length " + std::to_string(options.cacheLength) +
                          " must lie in [1, max_target_positions]");
  }
  const Checkpoint checkpoint(checkpointFolder);
  checkTiedProjection(checkpoint, d);
  std::filesystem::create_directories(output);
  const int64_t frames = d.sourcePositions;
  const int64_t samples = 2 * frames * hopLength;

  ModelManifest mel;
  mel.kind = "whisper-mel-spectrogram";
  mel.inputs = {feature("audio", MLMultiArrayDataType::float32, {samples})};
  mel.outputs = {feature("melspectrogram_features", MLMultiArrayDataType::float16,
                         {1, d.mels, 1, 2 * frames})};
  writeManifest(output / "MelSpectrogram.mlmodelc", mel);
  platform::ml::writeSafeTensors(
      output / "MelSpectrogram.mlmodelc" / ModelManifest::weightsFileName,
      {{"mel_filters", TensorDType::f32, {d.mels, 201}, melFilterBank(d.mels)}});

  ModelManifest encoder;
  encoder.kind = "whisper-audio-encoder";
  encoder.inputs = mel.outputs;
  encoder.outputs = {
      feature("encoder_output_embeds", MLMultiArrayDataType::float16, {1, d.width, 1, frames})};
  encoder.parameters = {{"n_layers", d.encoderLayers}, {"n_heads", d.encoderHeads}};
  TensorList encoderTensors;
  encoderTensors.add("encoder.conv1.weight", {d.width, d.mels, 3});
  encoderTensors.add("encoder.conv1.bias", {d.width});
  encoderTensors.add("encoder.conv2.weight", {d.width, d.width, 3});
  encoderTensors.add("encoder.conv2.bias", {d.width});
  encoderTensors.add("encoder.embed_positions.weight", {frames, d.width});
  for (int64_t l = 0; l < d.encoderLayers; ++l) {
    const std::string prefix = "encoder.layers." + std::to_string(l);
    encoderTensors.attention(prefix + ".self_attn", d.width);
    encoderTensors.norm(prefix + ".self_attn_layer_norm", d.width);
    encoderTensors.mlp(prefix, d.width);
    encoderTensors.norm(prefix + ".final_layer_norm", d.width);
  }
  encoderTensors.norm("encoder.layer_norm", d.width);
  writeManifest(output / "AudioEncoder.mlmodelc", encoder);
  encoderTensors.write(
      checkpoint, output / "AudioEncoder.mlmodelc" / ModelManifest::weightsFileName, options.dtype);

  const int64_t rows = d.decoderLayers * d.width;
  const int64_t s = options.cacheLength;
  ModelManifest decoder;
  decoder.kind = "whisper-text-decoder";
  decoder.inputs = {feature("input_ids", MLMultiArrayDataType::int32, {1}),
                    feature("cache_length", MLMultiArrayDataType::int32, {1}),
                    feature("key_cache", MLMultiArrayDataType::float16, {1, rows, 1, s}),
                    feature("value_cache", MLMultiArrayDataType::float16, {1, rows, 1, s}),
                    feature("kv_cache_update_mask", MLMultiArrayDataType::int32, {1, s}),
                    encoder.outputs.front(),
                    feature("decoder_key_padding_mask", MLMultiArrayDataType::float16, {1, s})};
  decoder.outputs = {
      feature("logits", MLMultiArrayDataType::float16, {1, 1, d.vocabulary}),
      feature("key_cache_updates", MLMultiArrayDataType::float16, {1, rows, 1, 1}),
      feature("value_cache_updates", MLMultiArrayDataType::float16, {1, rows, 1, 1}),
      feature("alignment_heads_weights", MLMultiArrayDataType::float16, {1, frames})};
  decoder.parameters = {{"n_layers", d.decoderLayers},
                        {"n_heads", d.decoderHeads},
                        {"alignment_heads", alignmentHeads(checkpointFolder, d)}};
  TensorList decoderTensors;
  decoderTensors.add("decoder.embed_tokens.weight", {d.vocabulary, d.width});
  decoderTensors.add("decoder.embed_positions.weight", {d.targetPositions, d.width});
  for (int64_t l = 0; l < d.decoderLayers; ++l) {
    const std::string prefix = "decoder.layers." + std::to_string(l);
    decoderTensors.attention(prefix + ".self_attn", d.width);
    decoderTensors.norm(prefix + ".self_attn_layer_norm", d.width);
    decoderTensors.attention(prefix + ".encoder_attn", d.width);
    decoderTensors.norm(prefix + ".encoder_attn_layer_norm", d.width);
    decoderTensors.mlp(prefix, d.width);
    decoderTensors.norm(prefix + ".final_layer_norm", d.width);
  }
  decoderTensors.norm("decoder.layer_norm", d.width);
  writeManifest(output / "TextDecoder.mlmodelc", decoder);
  decoderTensors.write(checkpoint, output / "TextDecoder.mlmodelc" / ModelManifest::weightsFileName,
                       options.dtype);

  for (const char* name :
       {"tokenizer.json", "tokenizer_config.json", "config.json", "vocab.json", "merges.txt",
        "special_tokens_map.json", "added_tokens.json", "normalizer.json", "generation_config.json",
        "preprocessor_config.json"}) {
    const auto source = checkpointFolder / name;
    if (std::filesystem::exists(source)) {
      std::filesystem::copy_file(source, output / name,
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
}

}  // namespace kestrune::tools

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/Decoder.hpp"
#include "OrvaneCore/External/Tokenizers/Normalizer.hpp"
#include "OrvaneCore/External/Tokenizers/PostProcessor.hpp"
#include "OrvaneCore/External/Tokenizers/PreTokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/Regex.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizingModel.hpp"

namespace orvane {

// What the rest of the system sees of a tokenizer: text to ids and back.
class Tokenizer {
 public:
  virtual ~Tokenizer() = default;
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  std::vector<int64_t> encode(std::string_view text) const { return encode(text, true); }
  virtual std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const = 0;
  std::string decode(const std::vector<int64_t>& tokens) const { return decode(tokens, false); }
  virtual std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const = 0;
  virtual std::optional<int64_t> convertTokenToId(std::string_view token) const = 0;
  std::vector<std::optional<int64_t>> convertTokensToIds(
      const std::vector<std::string>& tokens) const;
  virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
  std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int64_t>& ids) const;
  virtual std::optional<std::string> bosToken() const = 0;
  virtual std::optional<int64_t> bosTokenId() const = 0;
  virtual std::optional<std::string> eosToken() const = 0;
  virtual std::optional<int64_t> eosTokenId() const = 0;
  virtual std::optional<std::string> unknownToken() const = 0;
  virtual std::optional<int64_t> unknownTokenId() const = 0;
};

// The general tokenizer of a tokenizer.json: added-token splitting,
// normalizer, pre-tokenizer, model and post-processor on the way in; model,
// decoder and clean-up of spaces on the way out. Immutable once built.
class PreTrainedTokenizer : public Tokenizer {
 public:
  // Throws TokenizerError (or the failure of a component's configuration);
  // nothing is partly built.
  PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

  std::vector<std::string> tokenize(std::string_view text) const override;
  using Tokenizer::encode;
  std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const override;
  using Tokenizer::decode;
  std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const override;
  std::optional<int64_t> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int64_t id) const override;
  std::optional<std::string> bosToken() const override { return model_->bosToken(); }
  std::optional<int64_t> bosTokenId() const override { return model_->bosTokenId(); }
  std::optional<std::string> eosToken() const override { return model_->eosToken(); }
  std::optional<int64_t> eosTokenId() const override { return model_->eosTokenId(); }
  std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
  std::optional<int64_t> unknownTokenId() const override { return model_->unknownTokenId(); }

  const TokenizingModel& model() const noexcept { return *model_; }
  const std::unordered_set<std::string>& addedTokens() const noexcept { return addedTokens_; }
  const std::unordered_map<std::string, int64_t>& specialTokens() const noexcept {
    return specialTokens_;
  }
  const Config& tokenizerConfig() const noexcept { return tokenizerConfig_; }
  bool cleanUpTokenizationSpaces() const noexcept { return cleanUpTokenizationSpaces_; }

  // The sections of `text` around the added tokens the pattern finds (the
  // whitespace an lstrip/rstrip token swallows is dropped); the whole text
  // when there is no pattern.
  std::vector<std::string> splitOnAddedTokens(std::string_view text) const;

 protected:
  // The tokenization of the pipeline itself, for subclasses that change the
  // text around it.
  std::vector<std::string> pipelineTokenize(std::string_view text) const;

 private:
  std::vector<std::string> fuseUnknown(std::vector<std::string> tokens) const;
  std::string cleanUp(std::string text) const;

  std::shared_ptr<const TokenizingModel> model_;
  std::unordered_set<std::string> addedTokens_;
  std::unordered_map<std::string, int64_t> specialTokens_;
  std::shared_ptr<const Regex> addedTokensRegex_;
  std::shared_ptr<const PreTokenizer> preTokenizer_;
  std::shared_ptr<const Normalizer> normalizer_;
  std::shared_ptr<const PostProcessor> postProcessor_;
  std::shared_ptr<const Decoder> decoder_;
  Config tokenizerConfig_;
  bool cleanUpTokenizationSpaces_ = true;
};

// The Llama tokenizer: in its non-legacy form a Metaspace pre-tokenizer and
// a post-processor made from the add_bos_token / add_eos_token flags.
class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
 public:
  LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

  std::vector<std::string> tokenize(std::string_view text) const override;
  bool isLegacy() const noexcept { return isLegacy_; }

  // A TemplateProcessing configuration from the BOS/EOS flags, or none when
  // `processorConfig` already builds one. Throws mismatchedConfig when a
  // flag is set but its token is not named.
  static std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig,
                                                        const Config& processorConfig);

 private:
  LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict,
                           bool isLegacy);
  static Config updatedData(const Config& tokenizerConfig, const Config& tokenizerData,
                            bool isLegacy);

  bool isLegacy_;
};

// One entry of the tokenizer class registry.
struct PreTrainedTokenizerClass {
  std::string name;
  std::function<std::shared_ptr<PreTrainedTokenizer>(const Config&, const Config&, bool)> make;
};

struct PreTrainedTokenizerClasses {
  // Class name to tokenizer class; built once on first use.
  static const std::map<std::string, PreTrainedTokenizerClass>& tokenizerClasses();
};

struct AutoTokenizer {
  // The class for the configuration's `tokenizer_class` ("Fast" removed):
  // LlamaPreTrainedTokenizer for "LlamaTokenizer", PreTrainedTokenizer for
  // anything else.
  static const PreTrainedTokenizerClass& tokenizerClass(const Config& tokenizerConfig);
  static std::shared_ptr<PreTrainedTokenizer> from(const Config& tokenizerConfig,
                                                   const Config& tokenizerData, bool strict = true);
};

}  // namespace orvane

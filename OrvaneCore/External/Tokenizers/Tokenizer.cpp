#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"

#include <algorithm>

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerModel.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

struct AddedTokenPattern {
  std::string content;
  bool lstrip;
  bool rstrip;
};

// One alternative per added token, longest first so that a token that
// contains another wins; equal lengths keep the file order.
std::shared_ptr<const Regex> addedTokensPattern(const Config::Array& addedTokens) {
  std::vector<AddedTokenPattern> patterns;
  for (const Config& token : addedTokens) {
    if (!token.dictionary()) continue;
    const std::optional<std::string> content = token["content"].string();
    if (!content) continue;
    patterns.push_back({*content, token["lstrip"].boolean().value_or(false),
                        token["rstrip"].boolean().value_or(false)});
  }
  if (patterns.empty()) return nullptr;
  std::vector<size_t> lengths;
  lengths.reserve(patterns.size());
  for (const auto& pattern : patterns) lengths.push_back(unicode::characterCount(pattern.content));
  std::vector<size_t> order(patterns.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return lengths[a] > lengths[b]; });
  std::string alternatives;
  for (const size_t index : order) {
    const AddedTokenPattern& pattern = patterns[index];
    if (!alternatives.empty()) alternatives += '|';
    if (pattern.lstrip) alternatives += R"(\s*)";
    alternatives += '(' + Regex::escapedPattern(pattern.content) + ')';
    if (pattern.rstrip) alternatives += R"(\s*)";
  }
  try {
    return std::make_shared<const Regex>(alternatives);
  } catch (const RegexError&) {
    return nullptr;  // added tokens are then left to the pipeline
  }
}

std::string stripFast(std::string name) {
  return removingFast(std::move(name));
}

}  // namespace

std::vector<std::optional<int64_t>> Tokenizer::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
  std::vector<std::optional<int64_t>> ids;
  ids.reserve(tokens.size());
  for (const std::string& token : tokens) ids.push_back(convertTokenToId(token));
  return ids;
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(
    const std::vector<int64_t>& ids) const {
  std::vector<std::optional<std::string>> tokens;
  tokens.reserve(ids.size());
  for (const int64_t id : ids) tokens.push_back(convertIdToToken(id));
  return tokens;
}

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                         bool strict)
    : tokenizerConfig_(tokenizerConfig) {
  AddedTokenMap addedTokenIds;
  const Config addedTokensConfig = tokenizerData["added_tokens"];
  static const Config::Array noTokens;
  const Config::Array& addedTokens =
      addedTokensConfig.array() ? *addedTokensConfig.array() : noTokens;
  for (const Config& token : addedTokens) {
    const std::optional<int64_t> id = token["id"].integer();
    const std::optional<std::string> content = token["content"].string();
    if (!id || !content) continue;
    addedTokenIds.insert_or_assign(*content, *id);
    if (token["special"].boolean() == true) specialTokens_.insert_or_assign(*content, *id);
  }
  addedTokensRegex_ = addedTokensPattern(addedTokens);
  for (const auto& [content, id] : addedTokenIds) addedTokens_.insert(content);

  preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["pre_tokenizer"]);
  normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
  postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["post_processor"]);
  decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"], addedTokens_);
  cleanUpTokenizationSpaces_ =
      tokenizerConfig["clean_up_tokenization_spaces"].boolean().value_or(true);
  model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokenIds, strict);
}

std::vector<std::string> PreTrainedTokenizer::splitOnAddedTokens(std::string_view text) const {
  if (!addedTokensRegex_) return {std::string(text)};
  const std::vector<Regex::Match> matches = addedTokensRegex_->matches(text);
  if (matches.empty()) return {std::string(text)};
  std::vector<std::string> sections;
  size_t last = 0;
  for (const Regex::Match& match : matches) {
    if (match.whole.begin > last)
      sections.emplace_back(text.substr(last, match.whole.begin - last));
    for (auto group = match.groups.rbegin(); group != match.groups.rend(); ++group) {
      if (*group) {
        sections.emplace_back(text.substr((*group)->begin, (*group)->end - (*group)->begin));
        break;
      }
    }
    last = match.whole.end;
  }
  if (last < text.size()) sections.emplace_back(text.substr(last));
  return sections;
}

std::vector<std::string> PreTrainedTokenizer::pipelineTokenize(std::string_view text) const {
  // Text from outside may hold invalid UTF-8; it is read the way a decoder
  // of bytes would read it.
  const std::string valid =
      unicode::isValidUTF8(text) ? std::string(text) : unicode::decodeUTF8Lossy(text);
  std::vector<std::string> tokens;
  const std::vector<std::string> sections = splitOnAddedTokens(valid);
  for (size_t index = 0; index < sections.size(); ++index) {
    const std::string& section = sections[index];
    std::vector<std::string> sectionTokens;
    if (addedTokens_.contains(section)) {
      sectionTokens.push_back(section);
    } else {
      const std::string normalized = normalizer_ ? normalizer_->normalize(section) : section;
      PreTokenizerOptions options;
      if (index == 0) options.insert(PreTokenizerOption::firstSection);
      const std::vector<std::string> words = preTokenizer_
                                                 ? preTokenizer_->preTokenize(normalized, options)
                                                 : std::vector<std::string>{normalized};
      for (const std::string& word : words) {
        for (std::string& token : model_->tokenize(word)) sectionTokens.push_back(std::move(token));
      }
    }
    for (std::string& token : fuseUnknown(std::move(sectionTokens)))
      tokens.push_back(std::move(token));
  }
  return tokens;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(std::string_view text) const {
  return pipelineTokenize(text);
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(std::vector<std::string> tokens) const {
  if (!model_->fuseUnknownTokens()) return tokens;
  const std::optional<int64_t> unknownId = model_->unknownTokenId();
  std::vector<std::string> fused;
  bool previousUnknown = false;
  for (std::string& token : tokens) {
    const bool unknown = model_->convertTokenToId(token) == unknownId;
    if (!(unknown && previousUnknown)) fused.push_back(std::move(token));
    previousUnknown = unknown;
  }
  return fused;
}

std::vector<int64_t> PreTrainedTokenizer::encode(std::string_view text,
                                                 bool addSpecialTokens) const {
  std::vector<std::string> tokens = tokenize(text);
  if (postProcessor_) tokens = postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens);
  std::vector<int64_t> ids;
  ids.reserve(tokens.size());
  // A token without id (an added-token text missing from a vocabulary that
  // has no unknown token) has nothing to stand for it and is left out.
  for (const std::string& token : tokens) {
    if (const auto id = model_->convertTokenToId(token)) ids.push_back(*id);
  }
  return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int64_t>& ids,
                                        bool skipSpecialTokens) const {
  std::unordered_set<int64_t> skipped;
  if (skipSpecialTokens) {
    for (const auto& [text, id] : specialTokens_) skipped.insert(id);
  }
  std::vector<std::string> tokens;
  tokens.reserve(ids.size());
  for (const int64_t id : ids) {
    if (skipped.contains(id)) continue;
    if (auto token = model_->convertIdToToken(id)) tokens.push_back(std::move(*token));
  }
  if (decoder_) tokens = decoder_->decode(tokens);
  std::string text;
  for (const std::string& token : tokens) text += token;
  return cleanUpTokenizationSpaces_ ? cleanUp(std::move(text)) : text;
}

std::string PreTrainedTokenizer::cleanUp(std::string text) const {
  static constexpr std::pair<std::string_view, std::string_view> replacements[] = {
      {" .", "."},     {" ?", "?"},   {" !", "!"},   {" ,", ","},     {" ' ", "'"},
      {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
  };
  for (const auto& [from, to] : replacements) text = unicode::replacingAll(text, from, to);
  return text;
}

std::optional<int64_t> PreTrainedTokenizer::convertTokenToId(std::string_view token) const {
  return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int64_t id) const {
  return model_->convertIdToToken(id);
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig,
                                                   const Config& tokenizerData, bool strict)
    : LlamaPreTrainedTokenizer(tokenizerConfig, tokenizerData, strict,
                               tokenizerConfig["legacy"].boolean().value_or(true)) {}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig,
                                                   const Config& tokenizerData, bool strict,
                                                   bool isLegacy)
    : PreTrainedTokenizer(tokenizerConfig, updatedData(tokenizerConfig, tokenizerData, isLegacy),
                          strict),
      isLegacy_(isLegacy) {}

Config LlamaPreTrainedTokenizer::updatedData(const Config& tokenizerConfig,
                                             const Config& tokenizerData, bool isLegacy) {
  Config::Dictionary data =
      tokenizerData.dictionary() ? *tokenizerData.dictionary() : Config::Dictionary{};
  if (!isLegacy) {
    data.erase(BinaryDistinctString("normalizer"));
    data.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                          Config::dictionary({{"type", "Metaspace"},
                                              {"replacement", "\xE2\x96\x81"},
                                              {"add_prefix_space", true},
                                              {"prepend_scheme", "first"}}));
  }
  const Config processor = Config(data)["post_processor"];
  if (auto updated = maybeUpdatePostProcessor(tokenizerConfig, processor)) {
    data.insert_or_assign(BinaryDistinctString("post_processor"), std::move(*updated));
  }
  return Config(std::move(data));
}

std::optional<Config> LlamaPreTrainedTokenizer::maybeUpdatePostProcessor(
    const Config& tokenizerConfig, const Config& processorConfig) {
  if (processorConfig["type"].string() == "TemplateProcessing") {
    try {
      if (PostProcessorFactory::fromConfig(processorConfig)) return std::nullopt;
    } catch (const std::exception&) {
      // not a usable template: one is made below
    }
  }
  const bool addBos = tokenizerConfig["add_bos_token"].boolean().value_or(false);
  const bool addEos = tokenizerConfig["add_eos_token"].boolean().value_or(false);
  const std::optional<std::string> bos = addedTokenAsString(tokenizerConfig["bos_token"]);
  const std::optional<std::string> eos = addedTokenAsString(tokenizerConfig["eos_token"]);
  if (addBos && !bos)
    throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
  if (addEos && !eos)
    throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

  const auto special = [](const std::string& token, int typeId) {
    return Config::dictionary(
        {{"SpecialToken", Config::dictionary({{"id", token}, {"type_id", typeId}})}});
  };
  const auto sequence = [](const char* id, int typeId) {
    return Config::dictionary(
        {{"Sequence", Config::dictionary({{"id", id}, {"type_id", typeId}})}});
  };
  Config::Array single;
  if (addBos) single.push_back(special(*bos, 0));
  single.push_back(sequence("A", 0));
  if (addEos) single.push_back(special(*eos, 0));
  Config::Array pair = single;
  if (addBos) pair.push_back(special(*bos, 1));
  pair.push_back(sequence("B", 1));
  if (addEos) pair.push_back(special(*eos, 1));
  return Config::dictionary(
      {{"type", "TemplateProcessing"}, {"single", Config(single)}, {"pair", Config(pair)}});
}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(std::string_view text) const {
  if (isLegacy_ || text.empty()) return pipelineTokenize(text);
  constexpr std::string_view metaspace = "\xE2\x96\x81";
  const std::string prefixed = std::string(metaspace) + unicode::replacingAll(text, metaspace, " ");
  std::vector<std::string> tokens = pipelineTokenize(prefixed);
  if (tokens.size() > 1 && tokens[0] == metaspace && specialTokens().contains(tokens[1])) {
    tokens.erase(tokens.begin());
  }
  return tokens;
}

const std::map<std::string, PreTrainedTokenizerClass>&
PreTrainedTokenizerClasses::tokenizerClasses() {
  static const std::map<std::string, PreTrainedTokenizerClass> classes = {
      {"LlamaTokenizer",
       {"LlamaPreTrainedTokenizer",
        [](const Config& config, const Config& data,
           bool strict) -> std::shared_ptr<PreTrainedTokenizer> {
          return std::make_shared<LlamaPreTrainedTokenizer>(config, data, strict);
        }}},
  };
  return classes;
}

const PreTrainedTokenizerClass& AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
  static const PreTrainedTokenizerClass standard{
      "PreTrainedTokenizer", [](const Config& config, const Config& data, bool strict) {
        return std::make_shared<PreTrainedTokenizer>(config, data, strict);
      }};
  const std::optional<std::string> name = tokenizerConfig["tokenizer_class"].string();
  if (!name) return standard;
  const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
  const auto found = classes.find(stripFast(*name));
  return found == classes.end() ? standard : found->second;
}

std::shared_ptr<PreTrainedTokenizer> AutoTokenizer::from(const Config& tokenizerConfig,
                                                         const Config& tokenizerData, bool strict) {
  return tokenizerClass(tokenizerConfig).make(tokenizerConfig, tokenizerData, strict);
}

}  // namespace orvane

#include "OrvaneCore/External/Tokenizers/PostProcessor.hpp"

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

using Tokens = std::vector<std::string>;

void append(Tokens& out, const Tokens& tokens) {
  out.insert(out.end(), tokens.begin(), tokens.end());
}

std::string requiredTokenText(const Config& config, const char* key) {
  const auto token = config[key].token();
  if (!token) {
    throw TokenizerError::mismatchedConfig(std::string("Missing `") + key +
                                           "` processor configuration");
  }
  return token->second.string();
}

class TemplateProcessing : public PostProcessor {
 public:
  explicit TemplateProcessing(const Config& config) {
    const Config::Array* single = config["single"].array();
    if (!single) throw TokenizerError::mismatchedConfig("Missing `single` processor configuration");
    const Config::Array* pair = config["pair"].array();
    if (!pair) throw TokenizerError::mismatchedConfig("Missing `pair` processor configuration");
    single_ = *single;
    pair_ = *pair;
  }
  Tokens postProcess(const Tokens& tokens, const std::optional<Tokens>& tokensPair,
                     bool addSpecialTokens) const override {
    const Config::Array& items = tokensPair ? pair_ : single_;
    Tokens out;
    for (const Config& item : items) {
      if (const Config* special = item.find("SpecialToken")) {
        if (!addSpecialTokens) continue;
        if (const auto id = (*special)["id"].string()) out.push_back(*id);
      } else if (const Config* sequence = item.find("Sequence")) {
        const std::optional<std::string> id = (*sequence)["id"].string();
        if (id == "A") {
          append(out, tokens);
        } else if (id == "B" && tokensPair) {
          append(out, *tokensPair);
        }
      }
    }
    return out;
  }

 private:
  Config::Array single_;
  Config::Array pair_;
};

class ByteLevelPostProcessor : public PostProcessor {
 public:
  Tokens postProcess(const Tokens& tokens, const std::optional<Tokens>&, bool) const override {
    return tokens;
  }
};

class BertProcessing : public PostProcessor {
 public:
  explicit BertProcessing(const Config& config)
      : sep_(requiredTokenText(config, "sep")), cls_(requiredTokenText(config, "cls")) {}
  Tokens postProcess(const Tokens& tokens, const std::optional<Tokens>& tokensPair,
                     bool addSpecialTokens) const override {
    Tokens out;
    if (!addSpecialTokens) {
      append(out, tokens);
      if (tokensPair) append(out, *tokensPair);
      return out;
    }
    out.push_back(cls_);
    append(out, tokens);
    out.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
      append(out, *tokensPair);
      out.push_back(sep_);
    }
    return out;
  }

 private:
  std::string sep_;
  std::string cls_;
};

class RobertaProcessing : public PostProcessor {
 public:
  explicit RobertaProcessing(const Config& config)
      : sep_(requiredTokenText(config, "sep")),
        cls_(requiredTokenText(config, "cls")),
        trimOffsets_(config["trim_offsets"].boolean().value_or(true)),
        addPrefixSpace_(config["add_prefix_space"].boolean().value_or(true)) {}

  // Special tokens are added whatever the caller asks, as the reference
  // processing of this family does.
  Tokens postProcess(const Tokens& tokens, const std::optional<Tokens>& tokensPair,
                     bool) const override {
    const Tokens first = trimmed(tokens);
    Tokens out{cls_};
    append(out, first);
    out.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
      out.push_back(sep_);
      append(out, trimmed(*tokensPair));
      out.push_back(sep_);
    }
    return out;
  }

 private:
  Tokens trimmed(const Tokens& tokens) const {
    if (!trimOffsets_) return tokens;
    Tokens out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(trim(token));
    return out;
  }

  // With a prefix space one whitespace character of each surrounding run is
  // kept; a token of whitespace only keeps one character.
  std::string trim(const std::string& token) const {
    const std::vector<std::string_view> characters = unicode::characters(token);
    const auto blank = [&](size_t i) {
      return unicode::isWhitespace(unicode::scalarAt(characters[i], 0));
    };
    size_t leading = 0;
    while (leading < characters.size() && blank(leading)) ++leading;
    size_t trailing = 0;
    while (trailing < characters.size() - leading && blank(characters.size() - 1 - trailing)) {
      ++trailing;
    }
    size_t begin = leading, end = characters.size() - trailing;
    if (addPrefixSpace_) {
      if (leading == characters.size()) {
        begin = 0;
        end = std::min<size_t>(1, characters.size());
      } else {
        begin = leading > 0 ? leading - 1 : 0;
        end = trailing > 0 ? end + 1 : end;
      }
    }
    std::string out;
    for (size_t i = begin; i < end; ++i) out.append(characters[i]);
    return out;
  }

  std::string sep_;
  std::string cls_;
  bool trimOffsets_;
  bool addPrefixSpace_;
};

class SequenceProcessing : public PostProcessor {
 public:
  explicit SequenceProcessing(const Config& config) {
    const Config::Array* members = config["processors"].array();
    if (!members) throw TokenizerError::mismatchedConfig("Missing `processors` configuration");
    for (const Config& member : *members) {
      if (auto processor = PostProcessorFactory::fromConfig(member)) {
        processors_.push_back(std::move(processor));
      }
    }
  }
  Tokens postProcess(const Tokens& tokens, const std::optional<Tokens>& tokensPair,
                     bool addSpecialTokens) const override {
    Tokens out = tokens;
    bool first = true;
    for (const auto& processor : processors_) {
      out = processor->postProcess(out, first ? tokensPair : std::nullopt, addSpecialTokens);
      first = false;
    }
    return out;
  }

 private:
  std::vector<std::shared_ptr<const PostProcessor>> processors_;
};

}  // namespace

std::shared_ptr<const PostProcessor> PostProcessorFactory::fromConfig(const Config& config) {
  const std::optional<std::string> type = config["type"].string();
  if (!type) return nullptr;
  if (*type == "TemplateProcessing") return std::make_shared<TemplateProcessing>(config);
  if (*type == "ByteLevel") return std::make_shared<ByteLevelPostProcessor>();
  if (*type == "RobertaProcessing") return std::make_shared<RobertaProcessing>(config);
  if (*type == "BertProcessing") return std::make_shared<BertProcessing>(config);
  if (*type == "Sequence") return std::make_shared<SequenceProcessing>(config);
  throw TokenizerError::mismatchedConfig("Unsupported PostProcessor type: " + *type);
}

}  // namespace orvane

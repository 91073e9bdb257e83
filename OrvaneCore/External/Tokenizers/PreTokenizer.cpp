#include "OrvaneCore/External/Tokenizers/PreTokenizer.hpp"

#include "OrvaneCore/External/Tokenizers/ByteLevelText.hpp"
#include "OrvaneCore/External/Tokenizers/Regex.hpp"
#include "OrvaneCore/External/Tokenizers/StringPatterns.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {

namespace {

constexpr std::string_view asciiPunctuation =
    R"(\x{21}-\x{2F}\x{3A}-\x{40}\x{5B}-\x{60}\x{7B}-\x{7E})";

std::string punctuationPattern() {
  const std::string set = std::string(R"(\p{P})") + std::string(asciiPunctuation);
  return "[^" + set + "]+|[" + set + "]+";
}

std::string bertPattern() {
  const std::string set = std::string(R"(\p{P})") + std::string(asciiPunctuation);
  return R"([^\s)" + set + "]+|[" + set + "]";
}

class PreTokenizerSequence : public PreTokenizer {
 public:
  explicit PreTokenizerSequence(const Config& config) {
    const Config::Array* members = config["pretokenizers"].array();
    if (!members) throw TokenizerError::mismatchedConfig("No pretokenizers in Sequence");
    for (const Config& member : *members) {
      if (auto preTokenizer = PreTokenizerFactory::fromConfig(member)) {
        members_.push_back(std::move(preTokenizer));
      }
    }
  }
  std::vector<std::string> preTokenize(std::string_view text,
                                       const PreTokenizerOptions& options) const override {
    std::vector<std::string> words{std::string(text)};
    for (const auto& member : members_) words = member->preTokenizeTexts(words, options);
    return words;
  }

 private:
  std::vector<std::shared_ptr<const PreTokenizer>> members_;
};

// Pre-tokenizers whose words are all matches of one pattern.
class PatternPreTokenizer : public PreTokenizer {
 public:
  explicit PatternPreTokenizer(const std::string& pattern) : pattern_(pattern) {}
  std::vector<std::string> preTokenize(std::string_view text,
                                       const PreTokenizerOptions&) const override {
    return pattern_.matchedTexts(text);
  }

 private:
  Regex pattern_;
};

class ByteLevelPreTokenizer : public PreTokenizer {
 public:
  explicit ByteLevelPreTokenizer(const Config& config)
      : addPrefixSpace_(config["add_prefix_space"].boolean().value_or(false)),
        trimOffsets_(config["trim_offsets"].boolean().value_or(true)),
        useRegex_(config["use_regex"].boolean().value_or(true)) {}
  std::vector<std::string> preTokenize(std::string_view text,
                                       const PreTokenizerOptions&) const override {
    std::vector<std::string> words =
        useRegex_ ? gpt2SplitPattern().matchedTexts(text) : std::vector{std::string(text)};
    for (std::string& word : words) {
      if (addPrefixSpace_ && (word.empty() || word.front() != ' ')) word.insert(0, 1, ' ');
      word = byteLevelEncoded(word);
    }
    return words;
  }

 private:
  bool addPrefixSpace_;
  [[maybe_unused]] bool trimOffsets_;  // offsets are not tracked
  bool useRegex_;
};

class DigitsPreTokenizer : public PatternPreTokenizer {
 public:
  explicit DigitsPreTokenizer(const Config& config)
      : PatternPreTokenizer(config["individual_digits"].boolean().value_or(false)
                                ? R"([^\d]+|\d)"
                                : R"([^\d]+|\d+)") {}
};

class SplitPreTokenizer : public PreTokenizer {
 public:
  explicit SplitPreTokenizer(const Config& config)
      : pattern_(StringSplitPattern::from(config)),
        invert_(config["invert"].boolean().value_or(false)) {
    if (pattern_ && pattern_->kind == StringSplitPattern::Kind::regexp) {
      try {
        regex_.emplace(pattern_->pattern);
      } catch (const RegexError&) {
        throw TokenizerError::mismatchedConfig("Cannot build regexp from " + pattern_->pattern);
      }
    }
  }
  std::vector<std::string> preTokenize(std::string_view text,
                                       const PreTokenizerOptions&) const override {
    if (!pattern_)
      return text.empty() ? std::vector<std::string>{} : std::vector{std::string(text)};
    if (regex_) return split(text, regex_->ranges(text), SplitDelimiterBehavior::isolated);
    return split(text, literalRanges(text, pattern_->pattern),
                 invert_ ? SplitDelimiterBehavior::removed : SplitDelimiterBehavior::isolated);
  }

 private:
  std::optional<StringSplitPattern> pattern_;
  std::optional<Regex> regex_;
  bool invert_;
};

class MetaspacePreTokenizer : public PreTokenizer {
 public:
  enum class PrependScheme { first, never, always };

  explicit MetaspacePreTokenizer(const Config& config)
      : addPrefixSpace_(config["add_prefix_space"].boolean().value_or(false)),
        replacement_(config["replacement"].string().value_or(" ")),
        stringReplacement_(config["str_rep"].string().value_or(replacement_)),
        scheme_(scheme(config["prepend_scheme"].string())),
        replacementPattern_(replacement_) {}

  std::vector<std::string> preTokenize(std::string_view text,
                                       const PreTokenizerOptions& options) const override {
    std::string normalized;
    for (const char c : text) {
      if (c == ' ') {
        normalized += stringReplacement_;
      } else {
        normalized += c;
      }
    }
    const bool schemeAllows =
        scheme_ == PrependScheme::always ||
        (scheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection));
    if (addPrefixSpace_ && !normalized.starts_with(replacement_) && schemeAllows) {
      normalized.insert(0, stringReplacement_);
    }
    return split(normalized, replacementPattern_.ranges(normalized),
                 SplitDelimiterBehavior::mergedWithNext);
  }

 private:
  static PrependScheme scheme(const std::optional<std::string>& name) {
    if (name == "first") return PrependScheme::first;
    if (name == "never") return PrependScheme::never;
    return PrependScheme::always;
  }

  bool addPrefixSpace_;
  std::string replacement_;
  std::string stringReplacement_;
  PrependScheme scheme_;
  Regex replacementPattern_;
};

}  // namespace

std::vector<std::string> PreTokenizer::preTokenizeTexts(const std::vector<std::string>& texts,
                                                        const PreTokenizerOptions& options) const {
  std::vector<std::string> words;
  for (const std::string& text : texts) {
    for (std::string& word : preTokenize(text, options)) words.push_back(std::move(word));
  }
  return words;
}

std::shared_ptr<const PreTokenizer> PreTokenizerFactory::fromConfig(const Config& config) {
  const std::optional<std::string> type = config["type"].string();
  if (!type) return nullptr;
  if (*type == "Sequence") return std::make_shared<PreTokenizerSequence>(config);
  if (*type == "ByteLevel") return std::make_shared<ByteLevelPreTokenizer>(config);
  if (*type == "Punctuation") return std::make_shared<PatternPreTokenizer>(punctuationPattern());
  if (*type == "Digits") return std::make_shared<DigitsPreTokenizer>(config);
  if (*type == "Split") return std::make_shared<SplitPreTokenizer>(config);
  if (*type == "Whitespace" || *type == "WhitespaceSplit") {
    return std::make_shared<PatternPreTokenizer>(R"(\S+)");
  }
  if (*type == "Metaspace") return std::make_shared<MetaspacePreTokenizer>(config);
  if (*type == "BertPreTokenizer") return std::make_shared<PatternPreTokenizer>(bertPattern());
  throw TokenizerError::mismatchedConfig("Unsupported PreTokenizer type: " + *type);
}

}  // namespace orvane

#include "OrvaneCore/External/Tokenizers/Normalizer.hpp"

#include <vector>

#include "OrvaneCore/External/Tokenizers/StringPatterns.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

using unicode::appendUTF8;

class NormalizerSequence : public Normalizer {
 public:
  explicit NormalizerSequence(const Config& config) {
    const Config::Array* members = config["normalizers"].array();
    if (!members) throw TokenizerError::mismatchedConfig("No normalizers in Sequence");
    for (const Config& member : *members) {
      if (auto normalizer = NormalizerFactory::fromConfig(member)) {
        normalizers_.push_back(std::move(normalizer));
      }
    }
  }
  std::string normalize(std::string_view text) const override {
    std::string out(text);
    for (const auto& normalizer : normalizers_) out = normalizer->normalize(out);
    return out;
  }

 private:
  std::vector<std::shared_ptr<const Normalizer>> normalizers_;
};

class PrependNormalizer : public Normalizer {
 public:
  explicit PrependNormalizer(const Config& config)
      : prepend_(config["prepend"].string().value_or("")) {}
  std::string normalize(std::string_view text) const override {
    return prepend_ + std::string(text);
  }

 private:
  std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
 public:
  explicit ReplaceNormalizer(const Config& config) : pattern_(StringReplacePattern::from(config)) {}
  std::string normalize(std::string_view text) const override {
    return pattern_ ? pattern_->replace(text) : std::string(text);
  }

 private:
  std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer : public Normalizer {
 public:
  std::string normalize(std::string_view text) const override { return unicode::lowercased(text); }
};

class FunctionNormalizer : public Normalizer {
 public:
  explicit FunctionNormalizer(std::string (*function)(std::string_view)) : function_(function) {}
  std::string normalize(std::string_view text) const override { return function_(text); }

 private:
  std::string (*function_)(std::string_view);
};

class StripNormalizer : public Normalizer {
 public:
  explicit StripNormalizer(const Config& config)
      : left_(config["strip_left"].boolean().value_or(true)),
        right_(config["strip_right"].boolean().value_or(true)) {}
  std::string normalize(std::string_view text) const override {
    const std::vector<std::string_view> characters = unicode::characters(text);
    size_t begin = 0, end = characters.size();
    const auto blank = [&](size_t i) {
      return unicode::isWhitespace(unicode::scalarAt(characters[i], 0));
    };
    if (left_) {
      while (begin < end && blank(begin)) ++begin;
    }
    if (right_) {
      while (end > begin && blank(end - 1)) --end;
    }
    std::string out;
    for (size_t i = begin; i < end; ++i) out.append(characters[i]);
    return out;
  }

 private:
  bool left_;
  bool right_;
};

class BertNormalizer : public Normalizer {
 public:
  explicit BertNormalizer(const Config& config)
      : cleanText_(config["clean_text"].boolean().value_or(true)),
        handleChineseChars_(config["handle_chinese_chars"].boolean().value_or(true)),
        lowercase_(config["lowercase"].boolean().value_or(true)),
        stripAccents_(config["strip_accents"].boolean().value_or(lowercase_)) {}

  std::string normalize(std::string_view text) const override {
    std::string out(text);
    if (cleanText_) out = cleanText(out);
    if (handleChineseChars_) out = unicode::spacingChineseCharacters(out);
    if (stripAccents_) out = stripAccents(out);
    if (lowercase_) out = unicode::lowercased(out);
    return out;
  }

 private:
  static std::string cleanText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    return out;
  }
  static std::string stripAccents(std::string_view text) {
    std::string out;
    for (const char32_t scalar : unicode::scalars(unicode::nfd(text))) {
      if (scalar >= 0x300 && scalar <= 0x36F) continue;
      appendUTF8(out, scalar);
    }
    return out;
  }

  bool cleanText_;
  bool handleChineseChars_;
  bool lowercase_;
  bool stripAccents_;
};

class PrecompiledNormalizer : public Normalizer {
 public:
  std::string normalize(std::string_view text) const override {
    std::string cleaned;
    cleaned.reserve(text.size());
    for (const char32_t scalar : unicode::scalars(text)) {
      if (dropped(scalar)) continue;
      appendUTF8(cleaned, spaced(scalar) ? U' ' : scalar);
    }
    // NFKC would turn the fullwidth tilde into "~"; the tokenizers that use
    // this normalizer keep it, so it is left out of the normalization.
    constexpr std::string_view fullwidthTilde = "\xEF\xBD\x9E";
    if (cleaned.find(fullwidthTilde) == std::string::npos) return unicode::nfkc(cleaned);
    std::string out;
    bool first = true;
    for (const std::string& piece :
         split(cleaned, literalRanges(cleaned, fullwidthTilde), SplitDelimiterBehavior::removed)) {
      if (!first) out.append(fullwidthTilde);
      first = false;
      out += unicode::nfkc(piece);
    }
    return out;
  }

 private:
  static bool dropped(char32_t c) {
    return (c >= 0x1 && c <= 0x8) || c == 0xB || (c >= 0xE && c <= 0x1F) || c == 0x7F ||
           c == 0x8F || c == 0x9F;
  }
  static bool spaced(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xC || c == 0xD || c == 0x1680 ||
           (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 || c == 0x2581 ||
           c == 0xFEFF || c == 0xFFFD;
  }
};

}  // namespace

std::shared_ptr<const Normalizer> NormalizerFactory::fromConfig(const Config& config) {
  const std::optional<std::string> type = config["type"].string();
  if (!type) return nullptr;
  if (*type == "Sequence") return std::make_shared<NormalizerSequence>(config);
  if (*type == "Prepend") return std::make_shared<PrependNormalizer>(config);
  if (*type == "Replace") return std::make_shared<ReplaceNormalizer>(config);
  if (*type == "Lowercase") return std::make_shared<LowercaseNormalizer>();
  if (*type == "NFD") return std::make_shared<FunctionNormalizer>(&unicode::nfd);
  if (*type == "NFC") return std::make_shared<FunctionNormalizer>(&unicode::nfc);
  if (*type == "NFKD") return std::make_shared<FunctionNormalizer>(&unicode::nfkd);
  // StripAccents gives the NFKC form; removing accents proper is a step of
  // the Bert normalizer.
  if (*type == "NFKC" || *type == "StripAccents") {
    return std::make_shared<FunctionNormalizer>(&unicode::nfkc);
  }
  if (*type == "Bert" || *type == "BertNormalizer") return std::make_shared<BertNormalizer>(config);
  if (*type == "Precompiled") return std::make_shared<PrecompiledNormalizer>();
  if (*type == "Strip") return std::make_shared<StripNormalizer>(config);
  throw TokenizerError::mismatchedConfig("Unsupported Normalizer type: " + *type);
}

}  // namespace orvane

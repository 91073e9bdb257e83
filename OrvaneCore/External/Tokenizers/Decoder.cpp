#include "OrvaneCore/External/Tokenizers/Decoder.hpp"

#include "OrvaneCore/External/Tokenizers/ByteLevelText.hpp"
#include "OrvaneCore/External/Tokenizers/Regex.hpp"
#include "OrvaneCore/External/Tokenizers/StringPatterns.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

class DecoderSequence : public Decoder {
 public:
  explicit DecoderSequence(const Config& config) {
    const Config::Array* members = config["decoders"].array();
    if (!members) throw TokenizerError::mismatchedConfig("No decoders in Sequence");
    for (const Config& member : *members) {
      if (auto decoder = DecoderFactory::fromConfig(member))
        decoders_.push_back(std::move(decoder));
    }
  }
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out = tokens;
    for (const auto& decoder : decoders_) out = decoder->decode(out);
    return out;
  }

 private:
  std::vector<std::shared_ptr<const Decoder>> decoders_;
};

class ByteLevelDecoder : public Decoder {
 public:
  explicit ByteLevelDecoder(std::unordered_set<std::string> addedTokens)
      : addedTokens_(std::move(addedTokens)) {}
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    std::string run;
    bool pending = false;
    for (const std::string& token : tokens) {
      if (addedTokens_.contains(token)) {
        if (pending) out.push_back(byteLevelDecoded(run));
        run.clear();
        pending = false;
        out.push_back(token);
      } else {
        run += token;
        pending = true;
      }
    }
    if (pending) out.push_back(byteLevelDecoded(run));
    return out;
  }

 private:
  std::unordered_set<std::string> addedTokens_;
};

class ReplaceDecoder : public Decoder {
 public:
  explicit ReplaceDecoder(const Config& config) : pattern_(StringReplacePattern::from(config)) {}
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    if (!pattern_) return tokens;
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(pattern_->replace(token));
    return out;
  }

 private:
  std::optional<StringReplacePattern> pattern_;
};

class ByteFallbackDecoder : public Decoder {
 public:
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    std::string bytes;
    for (const std::string& token : tokens) {
      if (const std::optional<char> byte = parseByte(token)) {
        bytes += *byte;
        continue;
      }
      if (!bytes.empty()) out.push_back(unicode::decodeUTF8Lossy(bytes));
      bytes.clear();
      out.push_back(token);
    }
    if (!bytes.empty()) out.push_back(unicode::decodeUTF8Lossy(bytes));
    return out;
  }

 private:
  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // "<0xNN>" gives the byte NN.
  static std::optional<char> parseByte(std::string_view token) {
    if (token.size() != 6 || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
    const int high = hexDigit(token[3]);
    const int low = hexDigit(token[4]);
    if (high < 0 || low < 0) return std::nullopt;
    return static_cast<char>(high * 16 + low);
  }
};

class FuseDecoder : public Decoder {
 public:
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::string fused;
    for (const std::string& token : tokens) fused += token;
    return {fused};
  }
};

class StripDecoder : public Decoder {
 public:
  explicit StripDecoder(const Config& config) {
    const std::optional<std::string> content = config["content"].string();
    if (!content) {
      throw TokenizerError::mismatchedConfig(
          "Incorrect StripDecoder configuration: can't parse `content`.");
    }
    const std::optional<int64_t> start = config["start"].integer();
    if (!start) {
      throw TokenizerError::mismatchedConfig(
          "Incorrect StripDecoder configuration: can't parse `start`.");
    }
    const std::optional<int64_t> stop = config["stop"].integer();
    if (!stop) {
      throw TokenizerError::mismatchedConfig(
          "Incorrect StripDecoder configuration: can't parse `stop`.");
    }
    content_ = *content;
    start_ = *start;
    stop_ = *stop;
  }
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    for (const std::string& token : tokens) {
      const std::vector<std::string_view> characters = unicode::characters(token);
      size_t begin = 0, end = characters.size();
      for (int64_t n = 0; n < start_ && begin < end && characters[begin] == content_; ++n) ++begin;
      for (int64_t n = 0; n < stop_ && end > begin && characters[end - 1] == content_; ++n) --end;
      std::string stripped;
      for (size_t i = begin; i < end; ++i) stripped.append(characters[i]);
      out.push_back(std::move(stripped));
    }
    return out;
  }

 private:
  std::string content_;
  int64_t start_ = 0;
  int64_t stop_ = 0;
};

class MetaspaceDecoder : public Decoder {
 public:
  explicit MetaspaceDecoder(const Config& config)
      : addPrefixSpace_(config["add_prefix_space"].boolean().value_or(false)),
        replacement_(config["replacement"].string().value_or("_")) {}
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens)
      out.push_back(unicode::replacingAll(token, replacement_, " "));
    if (addPrefixSpace_ && !out.empty() && out.front().starts_with(' ')) out.front().erase(0, 1);
    return out;
  }

 private:
  bool addPrefixSpace_;
  std::string replacement_;
};

class WordPieceDecoder : public Decoder {
 public:
  explicit WordPieceDecoder(const Config& config)
      : cleanup_(config["cleanup"].boolean().value_or(false)),
        cleanupPattern_(R"(\s(\.|\?|\!|\,|'\s|n't|'m|'s|'ve|'re))") {
    const std::optional<std::string> prefix = config["prefix"].string();
    if (!prefix) {
      throw TokenizerError::mismatchedConfig(
          "Missing `prefix` configuration for WordPieceDecoder.");
    }
    prefix_ = *prefix;
  }
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
      std::string token = tokens[i];
      if (i > 0) {
        if (token.starts_with(prefix_)) {
          token.erase(0, prefix_.size());
        } else {
          token.insert(0, 1, ' ');
        }
      }
      if (cleanup_) {
        token = unicode::replacingAll(cleanupPattern_.replacingMatches(token, "$1"), " do not",
                                      " don't");
      }
      out.push_back(std::move(token));
    }
    return out;
  }

 private:
  bool cleanup_;
  std::string prefix_;
  Regex cleanupPattern_;
};

}  // namespace

std::shared_ptr<const Decoder> DecoderFactory::fromConfig(
    const Config& config, const std::unordered_set<std::string>& addedTokens) {
  const std::optional<std::string> type = config["type"].string();
  if (!type) return nullptr;
  if (*type == "Sequence") return std::make_shared<DecoderSequence>(config);
  if (*type == "WordPiece") return std::make_shared<WordPieceDecoder>(config);
  if (*type == "ByteLevel") return std::make_shared<ByteLevelDecoder>(addedTokens);
  if (*type == "Replace") return std::make_shared<ReplaceDecoder>(config);
  if (*type == "ByteFallback") return std::make_shared<ByteFallbackDecoder>();
  if (*type == "Fuse") return std::make_shared<FuseDecoder>();
  if (*type == "Strip") return std::make_shared<StripDecoder>(config);
  if (*type == "Metaspace") return std::make_shared<MetaspaceDecoder>(config);
  throw TokenizerError::mismatchedConfig("Unsupported Decoder type: " + *type);
}

}  // namespace orvane

#include "OrvaneCore/External/Tokenizers/BPETokenizer.hpp"

#include <gtest/gtest.h>

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {
namespace {

using Tokens = std::vector<std::string>;

Config vocabulary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
  return Config::dictionary(entries);
}

Config data(Config merges, Config vocab) {
  return Config::dictionary(
      {{"model", Config::dictionary({{"type", "BPE"}, {"merges", merges}, {"vocab", vocab}})}});
}

const Config abcVocab =
    vocabulary({{"a", 0}, {"b", 1}, {"c", 2}, {"ab", 3}, {"abc", 4}, {"aa", 5}});

BPETokenizer model(Config merges, Config vocab = abcVocab, Config tokenizerConfig = Config(),
                   const AddedTokenMap& added = {}) {
  return BPETokenizer(tokenizerConfig, data(std::move(merges), std::move(vocab)), added);
}

TEST(ByteTable, MatchesTheGPT2Table) {
  const auto& encoder = byteEncoder();
  EXPECT_EQ(encoder[0x20], "\xC4\xA0");  // Ġ U+0120
  EXPECT_EQ(encoder[0x0A], "\xC4\x8A");  // Ċ U+010A
  EXPECT_EQ(encoder[0x00], "\xC4\x80");  // U+0100
  EXPECT_EQ(encoder[0x7F], "\xC4\xA1");  // U+0121
  EXPECT_EQ(encoder[0xAD], "\xC5\x83");  // U+0143, the last moved byte
  EXPECT_EQ(encoder['A'], "A");
  EXPECT_EQ(encoder[0xE9], "\xC3\xA9");  // stands for itself
  for (int byte = 0; byte < 256; ++byte) {
    const char32_t character = [&] {
      const std::string& text = encoder[static_cast<size_t>(byte)];
      const auto lead = static_cast<unsigned char>(text[0]);
      if (lead < 0x80) return static_cast<char32_t>(lead);
      return static_cast<char32_t>(((lead & 0x1F) << 6) |
                                   (static_cast<unsigned char>(text[1]) & 0x3F));
    }();
    EXPECT_EQ(byteDecoder(character), byte);
  }
  EXPECT_FALSE(byteDecoder(U'\u0144'));
  EXPECT_FALSE(byteDecoder(U' '));
}

TEST(BPETokenizer, MergeLoop) {
  struct Case {
    const char* name;
    Config merges;
    const char* word;
    Tokens expected;
  };
  const Case cases[] = {
      {"two merges", Config::array({"a b", "ab c"}), "abc", {"abc"}},
      {"one merge", Config::array({"a b"}), "abc", {"ab", "c"}},
      {"left to right without overlap", Config::array({"a a"}), "aaa", {"aa", "a"}},
      {"one character ignores ranks", Config::array({"a b"}), "a", {"a"}},
      {"array form",
       Config::array({Config::array({"a", "b"}), Config::array({"ab", "c"})}),
       "abc",
       {"abc"}},
      // "b c" merges first; nothing ranks "a" + "bc", and "bc" is no
      // vocabulary entry, so it falls back to its bytes.
      {"lower rank first", Config::array({"b c", "a b", "ab c"}), "abc", {"a", "<0x62>", "<0x63>"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(model(c.merges).tokenize(c.word), c.expected) << c.name;
  }
}

TEST(BPETokenizer, BothMergeFormsRankAlike) {
  const BPETokenizer strings = model(Config::array({"a b", "b c"}));
  const BPETokenizer arrays =
      model(Config::array({Config::array({"a", "b"}), Config::array({"b", "c"})}));
  EXPECT_EQ(strings.rank("a", "b"), 0);
  EXPECT_EQ(arrays.rank("a", "b"), 0);
  EXPECT_EQ(strings.rank("b", "c"), 1);
  EXPECT_EQ(arrays.rank("b", "c"), 1);
  // A pair listed twice keeps its later position.
  EXPECT_EQ(model(Config::array({"a b", "b c", "a b"})).rank("a", "b"), 2);
  // Two spaces give the pair (first part, empty string).
  const BPETokenizer doubleSpace = model(Config::array({"a  b"}));
  EXPECT_EQ(doubleSpace.rank("a", ""), 0);
  EXPECT_FALSE(doubleSpace.rank("a", "b"));
}

TEST(BPETokenizer, ByteFallbackForPiecesOutsideTheVocabulary) {
  // "é" (two UTF-8 bytes) is not in the vocabulary.
  EXPECT_EQ(model(Config::array({})).tokenize("a\xC3\xA9"), (Tokens{"a", "<0xC3>", "<0xA9>"}));
  // A piece whose id is the unknown id takes the fallback too.
  const Config config = Config::dictionary({{"unk_token", "b"}});
  const BPETokenizer withUnknown = model(Config::array({}), abcVocab, config);
  EXPECT_EQ(withUnknown.unknownTokenId(), 1);
  EXPECT_EQ(withUnknown.tokenize("ab"), (Tokens{"a", "<0x62>"}));
}

TEST(BPETokenizer, TokenIdConversion) {
  const BPETokenizer noUnknown = model(Config::array({}));
  EXPECT_EQ(noUnknown.convertTokenToId("ab"), 3);
  EXPECT_FALSE(noUnknown.convertTokenToId("zz"));
  EXPECT_EQ(noUnknown.convertIdToToken(4), "abc");
  EXPECT_FALSE(noUnknown.convertIdToToken(99));

  const Config config = Config::dictionary({{"unk_token", Config::dictionary({{"content", "c"}})},
                                            {"bos_token", "a"},
                                            {"eos_token", Config::dictionary({{"content", "zz"}})},
                                            {"fuse_unk", "true"}});
  const BPETokenizer withTokens = model(Config::array({}), abcVocab, config);
  EXPECT_EQ(withTokens.unknownToken(), "c");
  EXPECT_EQ(withTokens.convertTokenToId("zz"), 2);
  EXPECT_EQ(withTokens.bosTokenId(), 0);
  EXPECT_EQ(withTokens.eosToken(), "zz");
  EXPECT_FALSE(withTokens.eosTokenId());
  EXPECT_TRUE(withTokens.fuseUnknownTokens());
}

TEST(BPETokenizer, AddedTokensEnterTheVocabularyAndWin) {
  const BPETokenizer tokenizer =
      model(Config::array({}), abcVocab, Config(), {{"<x>", 10}, {"ab", 11}});
  EXPECT_EQ(tokenizer.convertTokenToId("<x>"), 10);
  EXPECT_EQ(tokenizer.convertTokenToId("ab"), 11);
  EXPECT_EQ(tokenizer.convertIdToToken(10), "<x>");
}

TEST(BPETokenizer, ConstructionErrors) {
  const auto errorOf = [](const Config& tokenizerData) -> std::string {
    try {
      BPETokenizer(Config(), tokenizerData, {});
    } catch (const TokenizerError& error) {
      return error.errorDescription();
    }
    return "no error";
  };
  EXPECT_EQ(errorOf(data(Config(), abcVocab)),
            "Tokenizer configuration mismatch: BPETokenizer requires merges");
  EXPECT_EQ(errorOf(data(Config::array({}), Config::array({}))),
            "Vocabulary file is missing from the tokenizer configuration.");
  EXPECT_EQ(errorOf(data(Config::array({"ab"}), abcVocab)),
            "The vocabulary file is malformed or corrupted.");
}

}  // namespace
}  // namespace orvane

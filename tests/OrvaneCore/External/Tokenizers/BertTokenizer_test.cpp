#include "OrvaneCore/External/Tokenizers/BertTokenizer.hpp"

#include <gtest/gtest.h>

#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {
namespace {

using Tokens = std::vector<std::string>;

Config bertData(std::initializer_list<std::pair<BinaryDistinctString, Config>> vocab) {
  return Config::dictionary(
      {{"model", Config::dictionary({{"vocab", Config::dictionary(vocab)}})}});
}

std::shared_ptr<const WordPieceVocabulary> vocabulary(std::initializer_list<const char*> tokens) {
  auto vocab = std::make_shared<WordPieceVocabulary>();
  int64_t id = 0;
  for (const char* token : tokens) vocab->insertOrAssign(token, id++);
  return vocab;
}

TEST(WordpieceTokenizer, GreedyLongestPieces) {
  const WordpieceTokenizer full("[UNK]", 100, vocabulary({"un", "##aff", "##able"}));
  EXPECT_EQ(full.tokenize("unaffable"), (Tokens{"un", "##aff", "##able"}));
  const WordpieceTokenizer partial("[UNK]", 100, vocabulary({"un", "##able"}));
  EXPECT_EQ(partial.tokenize("unaffable"), (Tokens{"[UNK]"}));
  EXPECT_EQ(partial.tokenize(""), Tokens{});

  const WordpieceTokenizer letters("[UNK]", 100, vocabulary({"a", "##a"}));
  EXPECT_EQ(letters.tokenize(std::string(100, 'a')).size(), 100u);
  EXPECT_EQ(letters.tokenize(std::string(101, 'a')), (Tokens{"[UNK]"}));
}

TEST(BasicTokenizer, SplitsAtWhitespaceAndPunctuation) {
  const BasicTokenizer lower(true);
  const std::pair<const char*, Tokens> cases[] = {
      {"Hello, world!", {"hello", ",", "world", "!"}},
      {"[MASK] it", {"[MASK]", "it"}},
      {"$5", {"$", "5"}},
      {"a\nb", {"a\nb"}},
      {"a\tb  c", {"a", "b", "c"}},
      {"Caf\xC3\xA9", {"cafe"}},  // diacritics folded away
      {"", {}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(lower.tokenize(text), expected) << text;
  EXPECT_EQ(BasicTokenizer(false).tokenize("Hi, You"), (Tokens{"Hi", ",", "You"}));
}

TEST(BertTokenizer, TokenizesWithChineseCharactersIsolated) {
  const Config data =
      bertData({{"[UNK]", 0}, {"ab", 1}, {"cd", 2}, {"\xE4\xB8\xAD", 3}, {"[CLS]", 4}});
  const BertTokenizer tokenizer(Config::dictionary({{"bos_token", "[CLS]"}}), data, {});
  EXPECT_EQ(tokenizer.tokenize("ab\xE4\xB8\xAD"
                               "cd"),
            (Tokens{"ab", "\xE4\xB8\xAD", "cd"}));
  EXPECT_EQ(tokenizer.tokenize("abx"), (Tokens{"[UNK]"}));
  EXPECT_EQ(tokenizer.unknownTokenId(), 0);
  EXPECT_EQ(tokenizer.convertTokenToId("zz"), 0);
  EXPECT_EQ(tokenizer.bosTokenId(), 4);
  EXPECT_FALSE(tokenizer.eosToken());
  const BertTokenizer whole(Config::dictionary({{"handle_chinese_chars", false}}), data, {});
  EXPECT_EQ(whole.tokenize("ab\xE4\xB8\xAD"
                           "cd"),
            (Tokens{"[UNK]"}));
}

TEST(BertTokenizer, VocabularyKeysCompareUnderCanonicalEquivalence) {
  const Config data = bertData({{"[UNK]", 0}, {"caf\xC3\xA9", 1}});
  const BertTokenizer tokenizer(Config::dictionary({{"do_lower_case", false}}), data, {});
  EXPECT_EQ(tokenizer.convertTokenToId("cafe\xCC\x81"), 1);
  EXPECT_EQ(tokenizer.convertIdToToken(1), "caf\xC3\xA9");
}

TEST(BertTokenizer, AddedTokensJoinTheVocabulary) {
  const Config data = Config::dictionary(
      {{"model", Config::dictionary({{"vocab", Config::dictionary({{"[UNK]", 0}, {"x", 1}})}})},
       {"added_tokens", Config::array({Config::dictionary({{"id", 5}, {"content", "[SEP]"}})})}});
  const BertTokenizer tokenizer(Config(), data, {{"[MASK]", 6}, {"x", 7}});
  EXPECT_EQ(tokenizer.convertTokenToId("[SEP]"), 5);
  EXPECT_EQ(tokenizer.convertTokenToId("[MASK]"), 6);
  EXPECT_EQ(tokenizer.convertTokenToId("x"), 7);
}

TEST(BertTokenizer, MissingVocabulary) {
  try {
    BertTokenizer(
        Config(),
        Config::dictionary({{"model", Config::dictionary({{"vocab", Config::array({})}})}}), {});
    FAIL();
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.kind(), TokenizerError::Case::missingVocab);
  }
}

TEST(BertTokenizer, InThePipeline) {
  const Config data = Config::dictionary(
      {{"model", Config::dictionary({{"vocab", Config::dictionary({{"[UNK]", 0},
                                                                   {"[CLS]", 1},
                                                                   {"[SEP]", 2},
                                                                   {"hello", 3},
                                                                   {",", 4},
                                                                   {"world", 5}})}})},
       {"post_processor", Config::dictionary({{"type", "BertProcessing"},
                                              {"sep", Config::array({"[SEP]", 2})},
                                              {"cls", Config::array({"[CLS]", 1})}})},
       {"decoder",
        Config::dictionary({{"type", "WordPiece"}, {"prefix", "##"}, {"cleanup", true}})}});
  const PreTrainedTokenizer tokenizer(Config::dictionary({{"tokenizer_class", "BertTokenizer"}}),
                                      data, true);
  EXPECT_EQ(tokenizer.encode("Hello, World"), (std::vector<int64_t>{1, 3, 4, 5, 2}));
  EXPECT_EQ(tokenizer.decode({3, 4, 5}), "hello, world");
}

}  // namespace
}  // namespace orvane

#include "OrvaneCore/External/Tokenizers/UnigramTokenizer.hpp"

#include <gtest/gtest.h>

#include "OrvaneCore/External/Tokenizers/TokenLattice.hpp"
#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/Trie.hpp"

namespace orvane {
namespace {

using Tokens = std::vector<std::string>;

Config piece(const char* text, float score) {
  return Config::array({text, score});
}

Config unigramData(Config vocab, Config unknownId = Config(0)) {
  return Config::dictionary(
      {{"model",
        Config::dictionary({{"type", "Unigram"}, {"vocab", vocab}, {"unk_id", unknownId}})}});
}

// <unk>, then pieces where "ab" + "c" and "a" + "bc" score alike.
const Config vocab = Config::array({piece("<unk>", 0), piece("a", -1), piece("b", -1),
                                    piece("c", -1), piece("ab", -1), piece("bc", -1),
                                    piece("abc", -5), piece(" ", -2), piece("</s>", 0)});

UnigramTokenizer model(Config tokenizerConfig = Config(), Config data = unigramData(vocab)) {
  return UnigramTokenizer(tokenizerConfig, data, {});
}

TEST(Trie, YieldsStoredPrefixesShortestFirst) {
  Trie<char> trie;
  trie.append({{'a'}, {'a', 'b', 'c'}, {'a', 'b'}, {'b'}});
  EXPECT_EQ(trie.commonPrefixSearch({'a', 'b', 'c', 'd'}),
            (std::vector<std::vector<char>>{{'a'}, {'a', 'b'}, {'a', 'b', 'c'}}));
  EXPECT_TRUE(trie.commonPrefixSearch({'c'}).empty());
  EXPECT_TRUE(trie.commonPrefixSearch({}).empty());
}

TEST(TokenLattice, EmptySentenceHasAnEmptyPath) {
  const TokenLattice lattice("", 1, 2);
  EXPECT_TRUE(lattice.viterbi().empty());
  EXPECT_TRUE(lattice.tokens().empty());
}

TEST(TokenLattice, BestPathAndTies) {
  TokenLattice lattice("abc", 0, 0);
  lattice.insert(0, 2, -1, 4);  // ab
  lattice.insert(0, 1, -1, 1);  // a
  lattice.insert(1, 2, -1, 5);  // bc
  lattice.insert(2, 1, -1, 3);  // c
  lattice.insert(0, 3, -3, 6);  // abc, worse
  // ab+c and a+bc tie at -2; bc, inserted before c, is the end node's first
  // candidate and only a strictly better one could replace it.
  EXPECT_EQ(lattice.tokens(), (Tokens{"a", "bc"}));
}

TEST(UnigramTokenizer, SegmentsByBestScore) {
  const UnigramTokenizer tokenizer = model();
  // "ab" + "c" ties with "a" + "bc"; the piece with the earlier start wins.
  EXPECT_EQ(tokenizer.tokenize("abc"), (Tokens{"a", "bc"}));
  EXPECT_EQ(tokenizer.tokenize("cab"), (Tokens{"c", "ab"}));
  EXPECT_EQ(tokenizer.tokenize(""), Tokens{});
  EXPECT_EQ(tokenizer.convertTokenToId("bc"), 5);
  EXPECT_EQ(tokenizer.convertTokenToId("zz"), 0);
  EXPECT_EQ(tokenizer.convertIdToToken(6), "abc");
  EXPECT_FALSE(tokenizer.convertIdToToken(99));
  EXPECT_FALSE(tokenizer.convertIdToToken(-1));
}

TEST(UnigramTokenizer, SpecialTokensAndScores) {
  const UnigramTokenizer tokenizer =
      model(Config::dictionary({{"eos_token", "</s>"}, {"bos_token", "<s>"}}));
  EXPECT_EQ(tokenizer.bosToken(), " ");  // whatever the configuration says
  EXPECT_EQ(tokenizer.bosTokenId(), 7);
  EXPECT_EQ(tokenizer.eosTokenId(), 8);
  EXPECT_EQ(tokenizer.unknownToken(), "<unk>");
  EXPECT_EQ(tokenizer.unknownTokenId(), 0);
  EXPECT_FLOAT_EQ(tokenizer.minScore(), -5);
  EXPECT_FLOAT_EQ(tokenizer.unknownPiece().score, -15);
  EXPECT_TRUE(tokenizer.fuseUnknownTokens());

  const UnigramTokenizer high = model(
      Config(), unigramData(Config::array({piece("<unk>", 1000), Config::array({"x", 2000})})));
  EXPECT_FLOAT_EQ(high.minScore(), 999);
  EXPECT_FLOAT_EQ(high.unknownPiece().score, 989);
  EXPECT_FALSE(high.bosTokenId());
  EXPECT_FALSE(high.eosToken());
}

TEST(UnigramTokenizer, UnknownCharactersComeOutAsThemselvesAndFuse) {
  const UnigramTokenizer tokenizer = model();
  EXPECT_EQ(tokenizer.tokenize("aqqc"), (Tokens{"a", "q", "q", "c"}));
  const Config data = unigramData(vocab);
  Config::Dictionary withClass{{"tokenizer_class", "XLMRobertaTokenizer"}};
  const PreTrainedTokenizer pipeline(Config(withClass), data, true);
  EXPECT_EQ(pipeline.encode("aqqc"), (std::vector<int64_t>{1, 0, 3}));
}

TEST(UnigramTokenizer, ConstructionErrors) {
  const auto errorOf = [](const Config& data) -> std::string {
    try {
      UnigramTokenizer(Config(), data, {});
    } catch (const TokenizerError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(errorOf(Config::dictionary({{"model", Config::dictionary({})}})), "missingVocab");
  EXPECT_EQ(errorOf(unigramData(Config::array({Config::array({1, 2.0f})}))), "malformedVocab");
  EXPECT_EQ(errorOf(unigramData(Config::array({Config::array({"a", "b"})}))), "malformedVocab");
  EXPECT_EQ(errorOf(unigramData(Config::array({"a"}))), "malformedVocab");
  EXPECT_EQ(errorOf(unigramData(vocab, Config("0"))), "malformedVocab");
  EXPECT_EQ(errorOf(unigramData(vocab, Config(42))), "malformedVocab");
  // T5 is the unigram model under another class name.
  const Config t5Class = Config::dictionary({{"tokenizer_class", "T5TokenizerFast"}});
  EXPECT_EQ(PreTrainedTokenizer(t5Class, unigramData(vocab), true).tokenize("abc"),
            (Tokens{"a", "bc"}));
}

}  // namespace
}  // namespace orvane

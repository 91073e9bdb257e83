#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "Kestrune/Core/Text/LanguageRecognizer.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Ids = std::vector<int64_t>;
using Words = std::vector<std::string>;

const std::string replacement = "\xEF\xBF\xBD";

std::shared_ptr<WhisperTokenizerWrapper> load(const std::string& name) {
  const fs::path folder = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers" / name;
  return std::make_shared<WhisperTokenizerWrapper>(orvane::AutoTokenizerWrapper::from(folder),
                                                   folder);
}

class WhisperTokenizerWrapperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    multilingual_ = load("multilingual");
    english_ = load("english");
    v3_ = load("multilingual-v3");
  }
  static void TearDownTestSuite() {
    multilingual_.reset();
    english_.reset();
    v3_.reset();
  }
  static Ids textIds(const WhisperTokenizerWrapper& tokenizer, const std::string& text) {
    Ids ids;
    for (const int64_t id : tokenizer.encode(text)) {
      if (id < tokenizer.specialTokens().specialTokenBegin) ids.push_back(id);
    }
    return ids;
  }
  static std::shared_ptr<WhisperTokenizerWrapper> multilingual_, english_, v3_;
};

std::shared_ptr<WhisperTokenizerWrapper> WhisperTokenizerWrapperTest::multilingual_;
std::shared_ptr<WhisperTokenizerWrapper> WhisperTokenizerWrapperTest::english_;
std::shared_ptr<WhisperTokenizerWrapper> WhisperTokenizerWrapperTest::v3_;

TEST_F(WhisperTokenizerWrapperTest, SpecialTokensOfTheThreeVocabularies) {
  // Neither of the older vocabularies has "<|nospeech|>": the fallback holds.
  const SpecialTokens multilingual{50257, 50259, 50362, 50363, 50257, 50361,
                                   50258, 50364, 50359, 50358, 220};
  EXPECT_EQ(multilingual_->specialTokens(), multilingual);
  const SpecialTokens english{50256, 50258, 50362, 50362, 50256, 50360,
                              50257, 50363, 50358, 50357, 220};
  EXPECT_EQ(english_->specialTokens(), english);
  const SpecialTokens v3{50257, 50259, 50363, 50364, 50257, 50362, 50258, 50365, 50360, 50359, 220};
  EXPECT_EQ(v3_->specialTokens(), v3);
  EXPECT_EQ(multilingual_->tokenizerFolder()->filename(), "multilingual");
}

TEST_F(WhisperTokenizerWrapperTest, LanguageTokens) {
  const auto& languages = multilingual_->allLanguageTokens();
  EXPECT_EQ(languages.size(), 99u);        // every code of the table but Cantonese
  EXPECT_TRUE(languages.contains(50259));  // <|en|>
  EXPECT_TRUE(languages.contains(50260));  // <|zh|>
  for (const int64_t id : languages)
    EXPECT_GT(id, multilingual_->specialTokens().specialTokenBegin);
  EXPECT_EQ(v3_->allLanguageTokens().size(), 100u);  // with <|yue|>
  // The English-only vocabulary still lists the language tokens of the
  // family, between its end and transcript-start tokens and beyond.
  EXPECT_EQ(english_->allLanguageTokens().size(), 99u);
  EXPECT_TRUE(english_->allLanguageTokens().contains(50258));
}

TEST_F(WhisperTokenizerWrapperTest, EncodeAndDecodeKeepSpecialTokens) {
  const Ids ids = multilingual_->encode(" Hello");
  EXPECT_EQ(ids.front(), 50258);
  EXPECT_EQ(multilingual_->decode(ids), "<|startoftranscript|><|notimestamps|> Hello<|endoftext|>");
  EXPECT_EQ(multilingual_->convertIdToToken(50364), "<|0.00|>");
  EXPECT_EQ(multilingual_->convertTokenToId("<|fr|>"), 50265);
}

TEST_F(WhisperTokenizerWrapperTest, SplitsEnglishAtSpacesAndPunctuation) {
  const WordTokens words = multilingual_->splitToWordTokens(Ids{2425, 11, 1002, 13});
  EXPECT_EQ(words.words, (Words{" Hello", ",", " world", "."}));
  EXPECT_EQ(words.wordTokens, (std::vector<Ids>{{2425}, {11}, {1002}, {13}}));
}

TEST_F(WhisperTokenizerWrapperTest, UnicodeSplitKeepsGenuineReplacementCharacters) {
  const Ids ids{8404, 871, 287, 6, 246, 526, 3210, 20378};
  const WordTokens words = multilingual_->splitTokensOnUnicode(ids);
  EXPECT_EQ(words.words,
            (Words{" elle", " est", " l", "'", replacement, "\xC3\xA9", "rit", "oire"}));
  EXPECT_EQ(words.wordTokens,
            (std::vector<Ids>{{8404}, {871}, {287}, {6}, {246}, {526}, {3210}, {20378}}));
  // Joined at spaces, the pieces after the apostrophe form one word.
  EXPECT_EQ(multilingual_->splitToWordTokens(ids).words,
            (Words{" elle", " est", " l", "'" + replacement + "\xC3\xA9ritoire"}));
}

TEST_F(WhisperTokenizerWrapperTest, CharacterSpreadOverTwoTokensIsOneWord) {
  // Find an ideograph that the vocabulary spells with two byte-level tokens.
  const char* candidates[] = {"\xE9\xBE\x98", "\xE7\x8C\xAB", "\xE7\x8B\x97", "\xE9\xB8\x9F",
                              "\xE9\xBE\x8D", "\xE8\xB1\xA1", "\xE8\x9D\xB4", "\xE8\x9C\x82"};
  bool found = false;
  for (const char* character : candidates) {
    const Ids ids = textIds(*multilingual_, character);
    if (ids.size() != 2) continue;
    found = true;
    EXPECT_NE(multilingual_->decode({ids[0]}).find(replacement), std::string::npos);
    const WordTokens words = multilingual_->splitToWordTokens(ids);
    EXPECT_EQ(words.words, (Words{character}));
    EXPECT_EQ(words.wordTokens, (std::vector<Ids>{ids}));
  }
  EXPECT_TRUE(found) << "no candidate ideograph takes two tokens";
}

TEST_F(WhisperTokenizerWrapperTest, TimestampStartsAWordOfItsOwn) {
  const WordTokens words = multilingual_->splitToWordTokens(Ids{50364, 2425, 1002, 50414});
  EXPECT_EQ(words.words, (Words{"<|0.00|>", " Hello", " world", "<|1.00|>"}));
  EXPECT_EQ(words.wordTokens, (std::vector<Ids>{{50364}, {2425}, {1002}, {50414}}));
}

TEST_F(WhisperTokenizerWrapperTest, LanguagesWithoutSpacesTakeTheUnicodeSplit) {
  const std::string
      texts[] =
          {
              "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE4\xB8\x96\xE7\x95"
              "\x8C",                      // こんにちは世界
              "\xE4\xBD\xA0\xE5\xA5\xBD",  // 你好
              "\xE6\x88\x91",              // 我
              "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5",  // สวัสดี
              "\xE6\x9D\xB1\xE4\xBA\xAC \xE3\x81\xAB\xE8\xA1\x8C\xE3\x81\x8F",  // 東京 に行く
          };
  for (const std::string& text : texts) {
    const Ids ids = textIds(*multilingual_, text);
    const WordTokens unicodeSplit = multilingual_->splitTokensOnUnicode(ids);
    const WordTokens split = multilingual_->splitToWordTokens(ids);
    EXPECT_EQ(split.words, unicodeSplit.words) << text;
    EXPECT_EQ(split.wordTokens, unicodeSplit.wordTokens) << text;
  }
}

TEST(LanguageRecognizer, CodesOfShortTexts) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C", "zh"},  // 你好，世界
      {"\xE6\x88\x91", "zh"},                                                  // 我
      {"\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF", "ja"},  // こんにちは
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99", "ja"},  // 日本語です
      {"\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5", "th"},
      {" The quick brown fox jumps over the lazy dog.", "en"},
      {"", std::nullopt},
      {"123 ...", std::nullopt},
  };
  for (const auto& [text, code] : cases) EXPECT_EQ(dominantLanguageCode(text), code) << text;
}

}  // namespace
}  // namespace kestrune

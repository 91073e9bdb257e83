#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"
#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"

// The real Whisper tokenizer files: a byte-level BPE of 50,000 merges with
// the control, language and timestamp tokens as added tokens.
namespace orvane {
namespace {

namespace fs = std::filesystem;
using Ids = std::vector<int64_t>;

std::shared_ptr<PreTrainedTokenizer> load(const std::string& name) {
  const fs::path folder = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers" / name;
  return AutoTokenizer::from(readConfiguration(folder / "tokenizer_config.json"),
                             readConfiguration(folder / "tokenizer.json"), true);
}

class WhisperVocabularyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    multilingual_ = load("multilingual");
    english_ = load("english");
  }
  static void TearDownTestSuite() {
    multilingual_.reset();
    english_.reset();
  }
  static std::shared_ptr<PreTrainedTokenizer> multilingual_;
  static std::shared_ptr<PreTrainedTokenizer> english_;
};

std::shared_ptr<PreTrainedTokenizer> WhisperVocabularyTest::multilingual_;
std::shared_ptr<PreTrainedTokenizer> WhisperVocabularyTest::english_;

const char* const samples[] = {
    " Hello world, this is a test.",
    "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
    "e \xC3\xA0 la fran\xC3\xA7"
    "aise",  // Café crème brûlée à la française
    "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94, "
    "\xEB\xB0\x98\xEA\xB0\x91\xEC\x8A\xB5"
    "\xEB\x8B\x88\xEB\x8B\xA4",  // 안녕하세요, 반갑습니다
    "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C",  // 你好，世界
    "emoji \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD done",   // 😀👍🏽
    "  two  spaces\nand a line\ttab",
};

TEST_F(WhisperVocabularyTest, RoundTripsTextInBothVocabularies) {
  for (const auto& tokenizer : {multilingual_, english_}) {
    for (const char* sample : samples) {
      const Ids ids = tokenizer->encode(sample, false);
      EXPECT_FALSE(ids.empty());
      for (const int64_t id : ids) EXPECT_LT(id, 50257) << sample;  // all text tokens
      EXPECT_EQ(tokenizer->decode(ids), sample);
    }
  }
}

TEST_F(WhisperVocabularyTest, KnownEncodings) {
  EXPECT_EQ(multilingual_->encode(" Hello world", false), (Ids{2425, 1002}));
  EXPECT_EQ(multilingual_->tokenize(" Hello, world."),
            (std::vector<std::string>{"\xC4\xA0Hello", ",", "\xC4\xA0world", "."}));
}

TEST_F(WhisperVocabularyTest, MultilingualVocabularyIsShorterForKorean) {
  const char* korean = samples[2];
  EXPECT_LT(multilingual_->encode(korean, false).size(), english_->encode(korean, false).size());
}

TEST_F(WhisperVocabularyTest, SpecialTokenTextsMapToTheirIds) {
  struct Case {
    const char* text;
    int64_t multilingual;
    int64_t english;
  };
  const Case cases[] = {
      {"<|endoftext|>", 50257, 50256},    {"<|startoftranscript|>", 50258, 50257},
      {"<|notimestamps|>", 50363, 50362}, {"<|0.00|>", 50364, 50363},
      {"<|transcribe|>", 50359, 50358},   {"<|translate|>", 50358, 50357},
      {"<|startofprev|>", 50361, 50360},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(multilingual_->convertTokenToId(c.text), c.multilingual) << c.text;
    EXPECT_EQ(english_->convertTokenToId(c.text), c.english) << c.text;
  }
  EXPECT_EQ(multilingual_->convertTokenToId("<|en|>"), 50259);
  EXPECT_EQ(multilingual_->convertIdToToken(50364), "<|0.00|>");
}

TEST_F(WhisperVocabularyTest, AddedTokensInTextAndThePostProcessor) {
  const Ids ids = multilingual_->encode("<|startoftranscript|><|en|> Hi<|0.00|>", false);
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(ids[0], 50258);
  EXPECT_EQ(ids[1], 50259);
  EXPECT_EQ(ids[3], 50364);
  // The post-processor frames the text with the transcript and end tokens.
  const Ids framed = multilingual_->encode(" Hi");
  ASSERT_EQ(framed.size(), 4u);
  EXPECT_EQ(framed[0], 50258);
  EXPECT_EQ(framed[1], 50363);
  EXPECT_EQ(framed[3], 50257);
  EXPECT_EQ(multilingual_->decode(framed), "<|startoftranscript|><|notimestamps|> Hi<|endoftext|>");
  EXPECT_EQ(multilingual_->decode(framed, true), " Hi");
}

TEST_F(WhisperVocabularyTest, PartialCharactersDecodeToReplacement) {
  // 你 is E4 BD A0; the ids of its first two bytes alone cannot decode.
  const Ids ids = multilingual_->encode("\xE4\xBD\xA0", false);
  std::string text;
  for (const int64_t id : ids) text += multilingual_->decode({id});
  if (ids.size() > 1) EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_EQ(multilingual_->decode(ids), "\xE4\xBD\xA0");
}

TEST_F(WhisperVocabularyTest, TheV3VocabularyLoads) {
  const auto v3 = load("multilingual-v3");
  EXPECT_EQ(v3->decode(v3->encode(samples[1], false)), samples[1]);
  EXPECT_EQ(v3->convertTokenToId("<|startoftranscript|>"), 50258);
}

}  // namespace
}  // namespace orvane

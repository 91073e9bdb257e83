// The decoder with the real tokenizer files: prompt ids, segment text and
// language detection as the engine will see them.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "Kestrune/Core/Text/LogitsFilter.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "tests/Kestrune/Core/Decoder/ScriptedDecoder.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using platform::ml::Float16;
using platform::ml::MLMultiArrayDataType;
using scripted::ScriptedDecoder;
using scripted::StepLogits;

std::shared_ptr<const WhisperTokenizer> tokenizerNamed(const std::string& name) {
  const fs::path folder = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers" / name;
  return std::make_shared<WhisperTokenizerWrapper>(orvane::AutoTokenizerWrapper::from(folder),
                                                   folder);
}

class RealTokenizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    multilingual_ = tokenizerNamed("multilingual");
    english_ = tokenizerNamed("english");
  }
  static void TearDownTestSuite() {
    multilingual_.reset();
    english_.reset();
  }

  static std::vector<int64_t> prefill(const std::shared_ptr<const WhisperTokenizer>& tokenizer,
                                      bool multilingual, const DecodingOptions& options) {
    ScriptedDecoder decoder;
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(multilingual);
    const auto inputs =
        decoder.prepareDecoderInputs({tokenizer->specialTokens().startOfTranscriptToken});
    return decoder.prefillDecoderInputs(inputs, options)->initialPrompt();
  }

  std::vector<int64_t> textIds(const std::string& text) const {
    std::vector<int64_t> ids;
    for (const int64_t id : multilingual_->encode(text)) {
      if (id < multilingual_->specialTokens().specialTokenBegin) ids.push_back(id);
    }
    return ids;
  }

  static inline std::shared_ptr<const WhisperTokenizer> multilingual_;
  static inline std::shared_ptr<const WhisperTokenizer> english_;
};

TEST_F(RealTokenizerTest, PrefillUsesTheVocabularysControlIds) {
  struct Case {
    const char* name;
    bool multilingual;
    DecodingOptions options;
    std::vector<int64_t> expected;
  };
  const std::vector<Case> cases = {
      {"multilingual defaults", true, {}, {50258, 50259, 50359, 50364}},
      {"french translation",
       true,
       {.task = DecodingTask::translate, .language = "fr"},
       {50258, 50265, 50358, 50364}},
      {"no timestamps",
       true,
       {.language = "de", .withoutTimestamps = true},
       {50258, 50261, 50359, 50363}},
      {"not a language code", true, {.language = "english"}, {50258, 50259, 50359, 50364}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(prefill(multilingual_, c.multilingual, c.options), c.expected);
  }
  // The English-only vocabulary has its ids one lower and no language or
  // task tokens in the prompt.
  EXPECT_EQ(prefill(english_, false, {}), (std::vector<int64_t>{50257, 50363}));
  EXPECT_EQ(prefill(english_, false, {.promptTokens = std::vector<int64_t>{11, 50256, 12}}),
            (std::vector<int64_t>{50360, 11, 12, 50257, 50363}));
}

TEST_F(RealTokenizerTest, WindowTextAndLanguageComeFromTheSegment) {
  const auto hello = textIds(" Hello world");
  ASSERT_FALSE(hello.empty());
  ScriptedDecoder decoder;
  decoder.setTokenizer(multilingual_);
  decoder.setIsModelMultilingual(true);
  const auto inputs = decoder.prepareDecoderInputs({50258});
  decoder.prefillDecoderInputs(inputs, DecodingOptions{.language = "de"});
  const auto spoken = static_cast<int64_t>(hello.size());
  decoder.script = [&](int64_t step) {
    const int64_t sampled = step - 3;
    if (sampled >= 0 && sampled < spoken) return StepLogits{{{hello[sampled], 1.0f}}};
    if (sampled == spoken) return StepLogits{{{50364 + 50, 1.0f}}};
    return StepLogits{{{50257, 1.0f}, {400, 0.5f}}};
  };
  GreedyTokenSampler sampler(Float16(0), 50257, {});
  const auto encoderOutput = orvane::makeMultiArray({1, 8, 1, ScriptedDecoder::W},
                                                    MLMultiArrayDataType::float16, Float16(0));
  const auto result = decoder.decodeText(encoderOutput, *inputs, sampler, {}, nullptr);
  EXPECT_EQ(result.text,
            "<|startoftranscript|><|de|><|transcribe|><|0.00|> Hello world<|1.00|><|endoftext|>");
  EXPECT_EQ(result.language, "de");
}

TEST_F(RealTokenizerTest, DetectionConsidersLanguageTokensOnly) {
  ScriptedDecoder decoder;
  decoder.setTokenizer(multilingual_);
  decoder.setIsModelMultilingual(true);
  const auto inputs = decoder.prepareDecoderInputs({50258});
  // Text, control and timestamp tokens all score above the two languages.
  decoder.script = [](int64_t) {
    return StepLogits{
        {{50261, 2.0f}, {50265, 1.0f}, {400, 9.0f}, {50257, 9.0f}, {50363, 9.0f}, {50400, 9.0f}}};
  };
  GreedyTokenSampler sampler(Float16(0), 50257, {});
  const auto encoderOutput = orvane::makeMultiArray({1, 8, 1, ScriptedDecoder::W},
                                                    MLMultiArrayDataType::float16, Float16(0));
  const auto result = decoder.detectLanguage(encoderOutput, *inputs, sampler, {}, Float16(0));
  EXPECT_EQ(result.language, "de");
  ASSERT_EQ(result.languageProbs.size(), 1u);
  EXPECT_NEAR(result.languageProbs.at("de"), -std::log1p(std::exp(-1.0)), 1e-3);
  EXPECT_EQ(decoder.languageLogitsFilter()->allLanguageTokens(),
            multilingual_->allLanguageTokens());
}

}  // namespace
}  // namespace kestrune

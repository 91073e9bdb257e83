#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "Kestrune/Core/Text/LogitsFilter.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/Kestrune/Core/Decoder/ScriptedDecoder.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using namespace kestrune::scripted;

struct Detection {
  Detection() {
    decoder.setTokenizer(std::make_shared<FakeTokenizer>());
    decoder.setIsModelMultilingual(true);
    inputs = decoder.prepareDecoderInputs({SOT});
  }
  DecodingResult detect() {
    GreedyTokenSampler sampler(Float16(0), EOT, {});
    return decoder.detectLanguage(encoderOutput, *inputs, sampler, {}, Float16(0));
  }

  ScriptedDecoder decoder;
  std::shared_ptr<DecodingInputs> inputs;
  MLMultiArray encoderOutput = orvane::makeMultiArray({1, 8, 1, ScriptedDecoder::W},
                                                      MLMultiArrayDataType::float16, Float16(0));
};

// Collects the error lines of the shared logger while it lives.
class ErrorLines : public testsupport::LogCapture {
 public:
  ErrorLines() : LogCapture(orvane::Logging::LogLevel::error) {}
};

TEST(LanguageDetectionTest, PicksTheLikeliestLanguageTokenOverAnyText) {
  Detection detection;
  // Text scores far above every language; the other three languages at 0.
  detection.decoder.script = [](int64_t) {
    return StepLogits{{{400, 12.0f}, {EOT, 11.0f}, {ZH, 2.0f}, {FR, 3.0f}}, 0.0f};
  };
  const auto result = detection.detect();
  EXPECT_EQ(result.language, "fr");
  const double expected = 3.0 - std::log(std::exp(3.0) + std::exp(2.0) + 3.0);
  ASSERT_EQ(result.languageProbs.size(), 1u);
  EXPECT_NEAR(result.languageProbs.at("fr"), expected, 1e-3);
  EXPECT_TRUE(result.tokens.empty());
  EXPECT_TRUE(result.text.empty());
  EXPECT_FALSE(result.cache);
  EXPECT_FALSE(result.fallback);
  ASSERT_TRUE(result.timings);
  EXPECT_GT(result.timings->decodingPredictions, 0);
  EXPECT_EQ(result.timings->pipelineStart, std::numeric_limits<double>::max());

  // One prediction after the start-of-transcript token; positions stay.
  ASSERT_EQ(detection.decoder.fed.size(), 1u);
  EXPECT_EQ(detection.decoder.fed[0].token, SOT);
  EXPECT_EQ(detection.decoder.fed[0].position, 0);
  EXPECT_EQ(detection.inputs->kvCacheUpdateMask().number(1), 0);
  EXPECT_EQ(detection.inputs->decoderKeyPaddingMask().number(1), -10000);
}

TEST(LanguageDetectionTest, UnsupportedCodeFallsBackToEnglish) {
  ErrorLines errors;
  Detection detection;
  detection.decoder.script = [](int64_t) { return StepLogits{{{XX, 5.0f}, {FR, 1.0f}}}; };
  const auto result = detection.detect();
  EXPECT_EQ(result.language, "en");
  EXPECT_EQ(result.languageProbs.count("xx"), 1u);
  EXPECT_THAT(errors.lines(), testing::Contains(testing::HasSubstr(
                                  "Detected language xx is not supported, defaulting to en")));
}

TEST(LanguageDetectionTest, LanguageFilterIsBuiltOnceUntilUnload) {
  Detection detection;
  EXPECT_EQ(detection.decoder.languageLogitsFilter(), nullptr);
  detection.detect();
  const auto filter = detection.decoder.languageLogitsFilter();
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->logitsDim(), V);
  EXPECT_EQ(filter->sampleBegin(), 0);
  detection.detect();
  EXPECT_EQ(detection.decoder.languageLogitsFilter(), filter);
  detection.decoder.unloadModel();
  EXPECT_EQ(detection.decoder.languageLogitsFilter(), nullptr);
}

TEST(LanguageDetectionTest, RefusesWhatItCannotUse) {
  const auto expectError = [](const std::function<void()>& call, WhisperError::Case kind,
                              const std::string& message) {
    try {
      call();
      FAIL() << "expected " << message;
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.kind(), kind);
      EXPECT_EQ(error.message(), message);
    }
  };
  {
    Detection detection;
    detection.decoder.setTokenizer(nullptr);
    expectError([&] { detection.detect(); }, WhisperError::Case::tokenizerUnavailable,
                "Tokenizer is unavailable");
  }
  {
    Detection detection;
    TextDecoder unloaded;
    unloaded.setTokenizer(std::make_shared<FakeTokenizer>());
    GreedyTokenSampler sampler(Float16(0), EOT, {});
    expectError(
        [&] {
          unloaded.detectLanguage(detection.encoderOutput, *detection.inputs, sampler, {},
                                  Float16(0));
        },
        WhisperError::Case::modelsUnavailable, "Failed to read logits size from model");
  }
  {
    ErrorLines errors;
    Detection detection;
    detection.decoder.giveLogits = false;
    expectError([&] { detection.detect(); }, WhisperError::Case::decodingLogitsFailed,
                "Unable to decode logits from the model output");
    EXPECT_THAT(errors.lines(), testing::Contains(testing::HasSubstr("Unable to decode logits")));
  }
}

}  // namespace
}  // namespace kestrune

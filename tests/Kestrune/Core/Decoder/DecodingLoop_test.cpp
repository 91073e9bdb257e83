#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Kestrune/Core/Decoder/ScriptedDecoder.hpp"

namespace kestrune {
namespace {

using namespace kestrune::scripted;

const std::vector<int64_t> defaultPrompt = {SOT, EN, TRANSCRIBE, T0};

// A multilingual scripted decoder with inputs prefilled from `prefill`.
struct Window {
  explicit Window(const DecodingOptions& prefill = {}) {
    decoder.setTokenizer(std::make_shared<FakeTokenizer>());
    decoder.setIsModelMultilingual(true);
    inputs = decoder.prepareDecoderInputs({SOT});
    decoder.prefillDecoderInputs(inputs, prefill);
  }

  DecodingResult decode(const DecodingOptions& options = {}, float temperature = 0,
                        const TranscriptionCallback& callback = nullptr) {
    GreedyTokenSampler sampler(Float16(temperature), EOT, options);
    return decoder.decodeText(encoderOutput, *inputs, sampler, options, callback);
  }

  ScriptedDecoder decoder;
  std::shared_ptr<DecodingInputs> inputs;
  MLMultiArray encoderOutput = orvane::makeMultiArray({1, 8, 1, ScriptedDecoder::W},
                                                      MLMultiArrayDataType::float16, Float16(0));
};

// Step t prefers text token 400 + t, so every fed token tells its step.
StepLogits countingScript(int64_t step) {
  return StepLogits{{{400 + step, 1.0f}}};
}

void expectWhisperError(const std::function<void()>& call, WhisperError::Case kind,
                        const std::string& message) {
  try {
    call();
    FAIL() << "expected " << message;
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.message(), message);
  }
}

TEST(DecodingLoopTest, FourTokenPromptRunsAtMost223Steps) {
  Window window;
  window.decoder.script = countingScript;
  const auto result = window.decode(DecodingOptions{.sampleLength = 224});

  ASSERT_EQ(window.decoder.fed.size(), 223u);
  for (int64_t t = 0; t < 223; ++t) {
    EXPECT_EQ(window.decoder.fed[t].position, t);
    // The first three predictions are discarded: the prompt is fed, then
    // each step feeds what the step before chose.
    EXPECT_EQ(window.decoder.fed[t].token, t < 4 ? defaultPrompt[t] : 400 + t - 1) << t;
  }
  ASSERT_EQ(result.tokens.size(), 224u);  // 223 tokens and the end token
  EXPECT_EQ(result.tokens[4], 403);       // the first sampled token comes from step 3
  EXPECT_EQ(result.tokens[222], 400 + 221);
  EXPECT_EQ(result.tokens.back(), EOT);
  ASSERT_TRUE(result.timings);
  EXPECT_EQ(result.timings->totalDecodingLoops, 223);
  EXPECT_EQ(result.timings->totalKVUpdateRuns, 222);
  EXPECT_LT(result.timings->firstTokenTime, std::numeric_limits<double>::max());
}

TEST(DecodingLoopTest, SampleLengthBoundsTheLoop) {
  Window window;
  window.decoder.script = countingScript;
  const auto result = window.decode(DecodingOptions{.sampleLength = 3});
  // Four prompt positions plus two more predictions: min(4 + 3 - 1, 223).
  EXPECT_EQ(window.decoder.fed.size(), 6u);
  EXPECT_EQ(result.tokens, (std::vector<int64_t>{SOT, EN, TRANSCRIBE, T0, 403, 404, 405, EOT}));
}

TEST(DecodingLoopTest, MasksAndCachesFollowTheSteps) {
  Window window;
  window.decoder.giveAlignment = true;
  window.decoder.script = [](int64_t step) {
    return step == 6 ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode();

  const auto& fed = window.decoder.fed;
  ASSERT_EQ(fed.size(), 7u);
  EXPECT_EQ(fed[0].updateMask, (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fed[0].paddingMask,
            (std::vector<float>{0, -10000, -10000, -10000, -10000, -10000, -10000, -10000}));
  // What the step at position 4 sees, after the step at position 3.
  EXPECT_EQ(fed[4].updateMask, (std::vector<int32_t>{0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(fed[4].paddingMask, (std::vector<float>{0, 0, 0, 0, 0, -10000, -10000, -10000}));

  ASSERT_TRUE(result.cache && result.cache->keyCache && result.cache->valueCache);
  const auto& keys = *result.cache->keyCache;
  const auto& values = *result.cache->valueCache;
  for (int64_t e = 0; e < ScriptedDecoder::D; ++e) {
    for (int64_t t = 0; t < 8; ++t) {
      // Step 6 chose the end token, so it wrote nothing.
      const float expected = t < 6 ? ScriptedDecoder::keyValue(t, e) : 0.0f;
      EXPECT_EQ(keys.number(e * ScriptedDecoder::S + t), expected) << e << "," << t;
      EXPECT_EQ(values.number(e * ScriptedDecoder::S + t), -expected) << e << "," << t;
    }
  }
  // The caches in the result are the decoder's own, not copies.
  EXPECT_TRUE(keys.sharesStorage(window.inputs->keyCache()));
  ASSERT_TRUE(result.cache->alignmentWeights);
  const auto& alignment = *result.cache->alignmentWeights;
  for (int64_t row = 0; row < 8; ++row) {
    // Row t + 1 holds what the step at position t returned (t + 1).
    const float expected = row >= 1 && row <= 6 ? static_cast<float>(row) : 0.0f;
    EXPECT_EQ(alignment.number(row * ScriptedDecoder::W), expected) << row;
  }
}

TEST(DecodingLoopTest, NoAlignmentRowsLeaveTheStoreOutOfTheResult) {
  Window window;
  window.decoder.script = [](int64_t step) {
    return step == 4 ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode();
  ASSERT_TRUE(result.cache);
  EXPECT_FALSE(result.cache->alignmentWeights);
}

TEST(DecodingLoopTest, FirstSampledEndTokenYieldsThePromptFromItsStart) {
  // A previous-text prompt: the segment starts at the start-of-transcript.
  Window window(DecodingOptions{.promptTokens = std::vector<int64_t>{5, 6}});
  ASSERT_EQ(window.inputs->initialPrompt(),
            (std::vector<int64_t>{SOP, 5, 6, SOT, EN, TRANSCRIBE, T0}));
  window.decoder.script = [](int64_t step) {
    return step == 6 ? StepLogits{{{EOT, 3.0f}, {400, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode();
  EXPECT_EQ(window.decoder.fed.size(), 7u);
  EXPECT_EQ(result.tokens, (std::vector<int64_t>{SOT, EN, TRANSCRIBE, T0, EOT}));
  ASSERT_EQ(result.tokenLogProbs.size(), 5u);
  EXPECT_EQ(result.tokenLogProbs.back(), (std::map<int64_t, float>{{EOT, 0.0f}}));
  EXPECT_EQ(result.avgLogProb, 0.0f);
  EXPECT_EQ(result.text, "<|startoftranscript|><|en|><|transcribe|><|0.00|><|endoftext|>");
  EXPECT_EQ(result.timings->totalKVUpdateRuns, 6);
}

TEST(DecodingLoopTest, LowFirstTokenConfidenceStopsTheWindow) {
  // Eight equally likely first tokens: log p = -ln 8 ~ -2.08.
  const auto script = [](int64_t step) {
    StepLogits logits = countingScript(step);
    if (step == 3) {
      logits.scores.clear();
      for (int64_t k = 0; k < 8; ++k) logits.scores[500 + k] = 0.0f;
    }
    return logits;
  };
  Window window;
  window.decoder.script = script;
  const auto stopped = window.decode(DecodingOptions{.firstTokenLogProbThreshold = -1.5f});
  EXPECT_EQ(window.decoder.fed.size(), 4u);
  EXPECT_EQ(stopped.tokens, (std::vector<int64_t>{SOT, EN, TRANSCRIBE, T0, EOT}));
  EXPECT_EQ(stopped.fallback, (DecodingFallback{true, "firstTokenLogProbThreshold"}));

  Window lenient;
  lenient.decoder.script = script;
  const auto kept =
      lenient.decode(DecodingOptions{.sampleLength = 3, .firstTokenLogProbThreshold = -2.5f});
  EXPECT_EQ(kept.tokens[4], 500);
  EXPECT_NEAR(kept.tokenLogProbs[4].at(500), -std::log(8.0f), 1e-3);
}

TEST(DecodingLoopTest, PredictedOpeningTimestampReplacesThePromptTimestamp) {
  Window window;
  window.decoder.script = [](int64_t step) {
    if (step == 2) return StepLogits{{{T0 + 5, 1.0f}}};
    return step == 5 ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode();
  EXPECT_EQ(window.decoder.fed[3].token, T0 + 5);
  EXPECT_EQ(result.tokens, (std::vector<int64_t>{SOT, EN, TRANSCRIBE, T0 + 5, 403, 404, EOT}));
}

TEST(DecodingLoopTest, LanguageComesFromTheOptionsOrTheSegment) {
  struct Case {
    const char* name;
    std::vector<int64_t> prompt;
    DecodingOptions options;
    std::string language;
    std::map<std::string, float> languageProbs;
  };
  const std::vector<Case> cases = {
      {"the segment's language token", {SOT, FR, TRANSCRIBE, T0}, {}, "fr", {{"fr", 0.0f}}},
      {"the options first", {SOT, FR, TRANSCRIBE, T0}, {.language = "de"}, "de", {{"de", 0.0f}}},
      {"english without a language token", {SOT, T0}, {}, "en", {{"en", 0.0f}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window window;
    window.inputs->setInitialPrompt(c.prompt);
    const auto last = static_cast<int64_t>(c.prompt.size()) - 1;
    window.decoder.script = [last](int64_t step) {
      return step >= last ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
    };
    const auto result = window.decode(c.options);
    EXPECT_EQ(result.language, c.language);
    EXPECT_EQ(result.languageProbs, c.languageProbs);
  }
}

TEST(DecodingLoopTest, NegativeNoSpeechThresholdAcceptsAsSilence) {
  Window window;
  window.decoder.script = [](int64_t step) {
    return step == 5 ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode(DecodingOptions{.noSpeechThreshold = -0.5f});
  EXPECT_EQ(result.fallback, (DecodingFallback{false, "silence"}));
  EXPECT_EQ(result.noSpeechProb, 0.0f);
}

TEST(DecodingLoopTest, SamplerTemperatureIsReportedRounded) {
  Window window;
  window.decoder.script = [](int64_t step) {
    return step == 4 ? StepLogits{{{EOT, 1.0f}}} : countingScript(step);
  };
  const auto result = window.decode(DecodingOptions{.topK = 1}, 0.2f);
  EXPECT_EQ(result.temperature, 0.2f);  // the half-precision 0.19995 rounded
}

TEST(DecodingLoopTest, RefusalsBeforeAnyPrediction) {
  struct Case {
    const char* name;
    std::function<void(Window&)> setUp;
    DecodingOptions options;
    float temperature;
    WhisperError::Case kind;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no tokenizer",
       [](Window& w) { w.decoder.setTokenizer(nullptr); },
       {},
       0,
       WhisperError::Case::tokenizerUnavailable,
       "Tokenizer is unavailable"},
      {"empty prompt",
       [](Window& w) { w.inputs->setInitialPrompt({}); },
       {},
       0,
       WhisperError::Case::prepareDecoderInputsFailed,
       "Initial prompt must not be empty"},
      {"top-K below one",
       [](Window&) {},
       {.topK = 0},
       0.5f,
       WhisperError::Case::decodingFailed,
       "topK must be at least 1 when the temperature is not 0, got 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window window;
    c.setUp(window);
    expectWhisperError([&] { window.decode(c.options, c.temperature); }, c.kind, c.message);
    EXPECT_TRUE(window.decoder.fed.empty());
  }
}

TEST(DecodingLoopTest, UnusableModelOutputsFailThePass) {
  struct Case {
    const char* name;
    bool logits, cache;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no logits", false, true, "Unable to decode logits"},
      {"no cache slices", true, false, "Invalid model output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window window;
    window.decoder.giveLogits = c.logits;
    window.decoder.giveCache = c.cache;
    expectWhisperError([&] { window.decode(); }, WhisperError::Case::decodingLogitsFailed,
                       c.message);
    EXPECT_EQ(window.decoder.fed.size(), 1u);
  }
}

TEST(DecodingLoopTest, DecoderWithoutModelCannotDecode) {
  Window window;
  TextDecoder unloaded;
  unloaded.setTokenizer(std::make_shared<FakeTokenizer>());
  GreedyTokenSampler sampler(Float16(0), EOT, {});
  expectWhisperError(
      [&] { unloaded.decodeText(window.encoderOutput, *window.inputs, sampler, {}, nullptr); },
      WhisperError::Case::decodingLogitsFailed, "Unable to decode logits");

  struct OtherInput final : TextDecoderInputType {};
  expectWhisperError([&] { unloaded.predictLogits(OtherInput{}); },
                     WhisperError::Case::transcriptionFailed,
                     "Input must be TextDecoderMLMultiArrayInputType");
  EXPECT_FALSE(unloaded.predictLogits(window.inputs->inputIds(), window.inputs->cacheLength(),
                                      window.inputs->keyCache(), window.inputs->valueCache(),
                                      window.inputs->kvCacheUpdateMask(), window.encoderOutput,
                                      window.inputs->decoderKeyPaddingMask()));
}

TEST(DecodingLoopTest, CallbackStopsOnlyAfterThePrompt) {
  Window window;
  window.decoder.script = countingScript;
  std::mutex mutex;
  std::condition_variable changed;
  int64_t predicting = -1;
  bool finished = false;
  std::vector<int64_t> reported;
  // Each report answers while the next step's prediction runs, and that
  // prediction waits for the answer: the stop takes effect at a known step.
  window.decoder.beforePrediction = [&](int64_t step) {
    {
      std::lock_guard guard(mutex);
      predicting = step;
    }
    changed.notify_all();
    if (step > 0) window.decoder.waitForProgressReports();
  };
  const TranscriptionCallback stopAlways = [&](const TranscriptionProgress& progress) {
    const auto step = static_cast<int64_t>(progress.timings.totalKVUpdateRuns) - 1;
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return predicting > step || finished; });
    reported.push_back(step);
    EXPECT_EQ(progress.tokens.size(), static_cast<size_t>(std::max<int64_t>(4, step + 2)));
    return std::optional<bool>(false);
  };
  const auto result = window.decode({}, 0, stopAlways);
  {
    std::lock_guard guard(mutex);
    finished = true;
  }
  changed.notify_all();
  window.decoder.waitForProgressReports();

  // Answers during the prompt (steps 0 to 2) are ignored; the answer to
  // step 3 is read at the end of step 4.
  EXPECT_EQ(window.decoder.fed.size(), 5u);
  EXPECT_EQ(result.tokens, (std::vector<int64_t>{SOT, EN, TRANSCRIBE, T0, 403, 404, EOT}));
  EXPECT_EQ(reported, (std::vector<int64_t>{0, 1, 2, 3, 4}));

  // The stop flag belonged to that window only.
  Window next;
  next.decoder.script = countingScript;
  EXPECT_EQ(next.decode(DecodingOptions{.sampleLength = 3}).tokens.size(), 8u);
}

}  // namespace
}  // namespace kestrune

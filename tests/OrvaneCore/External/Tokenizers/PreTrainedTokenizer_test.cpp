#include <gtest/gtest.h>

#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerModel.hpp"
#include "OrvaneCore/TokenizerWrapper.hpp"

namespace orvane {
namespace {

using Tokens = std::vector<std::string>;
using Ids = std::vector<int64_t>;
using Entries = std::initializer_list<std::pair<BinaryDistinctString, Config>>;

const std::string metaspace = "\xE2\x96\x81";  // ▁

Config addedToken(int64_t id, const char* content, bool special = true, bool lstrip = false) {
  return Config::dictionary({{"id", id},
                             {"content", content},
                             {"special", special},
                             {"lstrip", lstrip},
                             {"rstrip", false}});
}

// A small BPE tokenizer: letters, "hi" and "▁hi" by merges, a few words for
// decoding, and the added tokens ab, abc (in that order) and <|x|>, which
// swallows the whitespace before it.
Config tokenizerData(Entries extra = {}) {
  Config::Dictionary data{
      {"added_tokens", Config::array({addedToken(10, "ab", false), addedToken(11, "abc", false),
                                      addedToken(12, "<|x|>", true, true)})},
      {"model", Config::dictionary({{"type", "BPE"},
                                    {"merges", Config::array({"h i", metaspace + " hi"})},
                                    {"vocab", Config::dictionary({{"z", 0},
                                                                  {"a", 1},
                                                                  {"b", 2},
                                                                  {"c", 3},
                                                                  {"h", 4},
                                                                  {"i", 5},
                                                                  {"hi", 6},
                                                                  {"<unk>", 7},
                                                                  {metaspace + "hi", 20},
                                                                  {metaspace, 21},
                                                                  {"Hello", 30},
                                                                  {" ", 31},
                                                                  {",", 32},
                                                                  {"world", 33},
                                                                  {".", 34},
                                                                  {"<s>", 40}})}})},
  };
  for (const auto& [key, value] : extra) data.insert_or_assign(key, value);
  return Config(std::move(data));
}

Config tokenizerConfig(Entries extra = {}) {
  Config::Dictionary config{{"tokenizer_class", "GPT2TokenizerFast"}, {"unk_token", "<unk>"}};
  for (const auto& [key, value] : extra) config.insert_or_assign(key, value);
  return Config(std::move(config));
}

const Config metaspacePreTokenizer = Config::dictionary({{"type", "Metaspace"},
                                                         {"replacement", metaspace},
                                                         {"add_prefix_space", true},
                                                         {"prepend_scheme", "first"}});

const Config startTemplate = Config::dictionary(
    {{"type", "TemplateProcessing"},
     {"single",
      Config::array({Config::dictionary({{"SpecialToken", Config::dictionary({{"id", "<s>"}})}}),
                     Config::dictionary({{"Sequence", Config::dictionary({{"id", "A"}})}})})},
     {"pair", Config::array({})}});

template <typename Build>
std::string errorOf(Build build) {
  try {
    build();
  } catch (const TokenizerError& error) {
    return error.errorDescription();
  }
  return "no error";
}

TEST(PreTrainedTokenizer, AddedTokensSplitLongestFirst) {
  const PreTrainedTokenizer tokenizer(tokenizerConfig(), tokenizerData(), true);
  EXPECT_EQ(tokenizer.splitOnAddedTokens("zabcz"), (Tokens{"z", "abc", "z"}));
  EXPECT_EQ(tokenizer.tokenize("zabcz"), (Tokens{"z", "abc", "z"}));
  EXPECT_EQ(tokenizer.encode("zabz"), (Ids{0, 10, 0}));
  EXPECT_EQ(tokenizer.splitOnAddedTokens("none here"), (Tokens{"none here"}));
}

TEST(PreTrainedTokenizer, LstripSwallowsThePrecedingWhitespace) {
  const PreTrainedTokenizer tokenizer(tokenizerConfig(), tokenizerData(), true);
  EXPECT_EQ(tokenizer.splitOnAddedTokens("hello  <|x|>"), (Tokens{"hello", "<|x|>"}));
  EXPECT_EQ(tokenizer.splitOnAddedTokens("<|x|> hi"), (Tokens{"<|x|>", " hi"}));
}

TEST(PreTrainedTokenizer, OnlyTheFirstSectionIsPreTokenizedAsFirst) {
  const PreTrainedTokenizer tokenizer(
      tokenizerConfig(), tokenizerData({{"pre_tokenizer", metaspacePreTokenizer}}), true);
  EXPECT_EQ(tokenizer.tokenize("hi<|x|>hi"), (Tokens{metaspace + "hi", "<|x|>", "hi"}));
  EXPECT_EQ(tokenizer.encode("hi<|x|>hi"), (Ids{20, 12, 6}));
}

TEST(PreTrainedTokenizer, DecodeJoinsAndCleansUpSpaces) {
  const Ids spaced{30, 31, 32, 31, 33, 31, 34};  // "Hello , world ."
  const PreTrainedTokenizer cleaning(tokenizerConfig(), tokenizerData(), true);
  EXPECT_EQ(cleaning.decode(spaced), "Hello, world.");
  EXPECT_EQ(cleaning.decode({}), "");
  const PreTrainedTokenizer keeping(tokenizerConfig({{"clean_up_tokenization_spaces", false}}),
                                    tokenizerData(), true);
  EXPECT_EQ(keeping.decode(spaced), "Hello , world .");
  // Unknown ids are dropped; special tokens are kept unless skipped.
  EXPECT_EQ(keeping.decode({12, 30, 999}), "<|x|>Hello");
  EXPECT_EQ(keeping.decode({12, 30}, true), "Hello");
  EXPECT_EQ(keeping.decode({10, 30}, true), "abHello");  // ab is not special
}

TEST(PreTrainedTokenizer, EncodeAddsWhatThePostProcessorAdds) {
  const PreTrainedTokenizer tokenizer(tokenizerConfig(),
                                      tokenizerData({{"post_processor", startTemplate}}), true);
  EXPECT_EQ(tokenizer.encode("hi"), (Ids{40, 6}));
  EXPECT_EQ(tokenizer.encode("hi", false), (Ids{6}));
  EXPECT_EQ(tokenizer.tokenize("hi"), (Tokens{"hi"}));
}

TEST(PreTrainedTokenizer, FusesRunsOfUnknownTokens) {
  // "q" is unknown: each one falls back to the byte token <0x71>, which is
  // not in the vocabulary either and so has the unknown id.
  const PreTrainedTokenizer fusing(tokenizerConfig({{"fuse_unk", true}}), tokenizerData(), true);
  EXPECT_EQ(fusing.encode("qqqz"), (Ids{7, 0}));
  EXPECT_EQ(fusing.encode("qzqq"), (Ids{7, 0, 7}));
  const PreTrainedTokenizer plain(tokenizerConfig(), tokenizerData(), true);
  EXPECT_EQ(plain.encode("qqqz"), (Ids{7, 7, 7, 0}));
}

TEST(PreTrainedTokenizer, ModelClassChoice) {
  EXPECT_TRUE(TokenizerModel::isKnownClass("WhisperTokenizerFast"));
  EXPECT_FALSE(TokenizerModel::isKnownClass("FooTokenizer"));
  EXPECT_EQ(errorOf([] {
              PreTrainedTokenizer(tokenizerConfig({{"tokenizer_class", "FooTokenizer"}}),
                                  tokenizerData(), true);
            }),
            "The tokenizer type 'FooTokenizer' is not supported.");
  EXPECT_EQ(errorOf([] { PreTrainedTokenizer(Config::dictionary({}), tokenizerData(), true); }),
            "The tokenizer class is not specified in the configuration.");

  ::testing::internal::CaptureStdout();
  const PreTrainedTokenizer fallback(tokenizerConfig({{"tokenizer_class", "FooTokenizer"}}),
                                     tokenizerData(), false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Warning: Tokenizer model class FooTokenizer is not registered, falling back to a "
            "standard BPE implementation.\n");
  EXPECT_EQ(fallback.encode("hi"), (Ids{6}));
}

TEST(AutoTokenizer, TokenizerClassFromTheConfiguration) {
  const std::pair<Config, std::string> cases[] = {
      {Config::dictionary({{"tokenizer_class", "LlamaTokenizerFast"}}), "LlamaPreTrainedTokenizer"},
      {Config::dictionary({{"tokenizer_class", "LlamaTokenizer"}}), "LlamaPreTrainedTokenizer"},
      {Config::dictionary({{"tokenizer_class", "WhisperTokenizer"}}), "PreTrainedTokenizer"},
      {Config::dictionary({{"tokenizer_class", 3}}), "PreTrainedTokenizer"},
      {Config::dictionary({}), "PreTrainedTokenizer"},
  };
  for (const auto& [config, expected] : cases) {
    EXPECT_EQ(AutoTokenizer::tokenizerClass(config).name, expected) << config.description();
  }
}

TEST(LlamaPreTrainedTokenizer, NonLegacyUsesMetaspaceAndBuildsThePostProcessor) {
  const Config config =
      Config::dictionary({{"tokenizer_class", "LlamaTokenizer"},
                          {"legacy", false},
                          {"add_bos_token", true},
                          {"bos_token", Config::dictionary({{"content", "<s>"}})}});
  const auto tokenizer = AutoTokenizer::from(config, tokenizerData(), true);
  const auto* llama = dynamic_cast<const LlamaPreTrainedTokenizer*>(tokenizer.get());
  ASSERT_NE(llama, nullptr);
  EXPECT_FALSE(llama->isLegacy());
  EXPECT_EQ(tokenizer->tokenize("hi"), (Tokens{metaspace + "hi"}));
  EXPECT_EQ(tokenizer->encode("hi"), (Ids{40, 20}));
  // A leading "▁" before a special token is dropped.
  EXPECT_EQ(tokenizer->tokenize("<|x|>hi"), (Tokens{"<|x|>", "hi"}));
}

TEST(LlamaPreTrainedTokenizer, PostProcessorUpdate) {
  // An existing template is kept.
  EXPECT_FALSE(
      LlamaPreTrainedTokenizer::maybeUpdatePostProcessor(Config::dictionary({}), startTemplate));
  const auto made = LlamaPreTrainedTokenizer::maybeUpdatePostProcessor(
      Config::dictionary({{"add_eos_token", "true"}, {"eos_token", "</s>"}}), Config());
  ASSERT_TRUE(made);
  EXPECT_EQ((*made)["single"].array()->size(), 2u);
  EXPECT_EQ((*made)["single"].array()->back()["SpecialToken"]["id"].string(), "</s>");
  EXPECT_EQ((*made)["pair"].array()->size(), 4u);
  EXPECT_EQ((*made)["pair"].array()->at(2)["Sequence"]["id"].string(), "B");

  EXPECT_EQ(errorOf([] {
              LlamaPreTrainedTokenizer::maybeUpdatePostProcessor(
                  Config::dictionary({{"add_eos_token", true}}), Config());
            }),
            "Tokenizer configuration mismatch: add_eos_token is True but eos_token is nil");
  EXPECT_EQ(errorOf([] {
              LlamaPreTrainedTokenizer::maybeUpdatePostProcessor(
                  Config::dictionary({{"add_bos_token", 1}}), Config());
            }),
            "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil");
}

TEST(TokenizerError, TextForms) {
  EXPECT_STREQ(TokenizerError::unsupportedTokenizer("Foo").what(), "unsupportedTokenizer(\"Foo\")");
  EXPECT_STREQ(TokenizerError::missingConfig().what(), "missingConfig");
  EXPECT_EQ(TokenizerError::missingConfig().errorDescription(),
            "Tokenizer configuration is missing.");
  EXPECT_EQ(TokenizerError::tooLong("x").errorDescription(), "Input is too long: x");
}

TEST(TokenizerWrapper, ForwardsToTheTokenizer) {
  const TokenizerWrapper wrapper(
      std::make_shared<PreTrainedTokenizer>(tokenizerConfig(), tokenizerData(), true));
  EXPECT_EQ(wrapper.encode("hi"), (Ids{6}));
  EXPECT_EQ(wrapper.decode({6, 12}), "hi<|x|>");
  EXPECT_EQ(wrapper.decode({6, 12}, true), "hi");
  EXPECT_EQ(wrapper.convertTokensToIds({"a", "nope"}), (std::vector<std::optional<int64_t>>{1, 7}));
  EXPECT_EQ(wrapper.convertIdsToTokens({1, 999}),
            (std::vector<std::optional<std::string>>{"a", std::nullopt}));
  EXPECT_EQ(wrapper.unknownTokenId(), 7);
  EXPECT_FALSE(wrapper.bosToken());
}

}  // namespace
}  // namespace orvane

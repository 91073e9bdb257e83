#include <gtest/gtest.h>

#include "OrvaneCore/External/Tokenizers/Decoder.hpp"
#include "OrvaneCore/External/Tokenizers/Normalizer.hpp"
#include "OrvaneCore/External/Tokenizers/PostProcessor.hpp"
#include "OrvaneCore/External/Tokenizers/PreTokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"

namespace orvane {
namespace {

using Tokens = std::vector<std::string>;
using Entries = std::initializer_list<std::pair<BinaryDistinctString, Config>>;

const std::string metaspace = "\xE2\x96\x81";  // ▁
const PreTokenizerOptions first{PreTokenizerOption::firstSection};

Tokens preTokenize(Entries config, std::string_view text,
                   const PreTokenizerOptions& options = first) {
  const auto preTokenizer = PreTokenizerFactory::fromConfig(Config::dictionary(config));
  EXPECT_TRUE(preTokenizer);
  return preTokenizer ? preTokenizer->preTokenize(text, options) : Tokens{};
}

Tokens decode(Entries config, const Tokens& tokens,
              const std::unordered_set<std::string>& addedTokens = {}) {
  const auto decoder = DecoderFactory::fromConfig(Config::dictionary(config), addedTokens);
  EXPECT_TRUE(decoder);
  return decoder ? decoder->decode(tokens) : Tokens{};
}

std::string normalize(Entries config, std::string_view text) {
  const auto normalizer = NormalizerFactory::fromConfig(Config::dictionary(config));
  EXPECT_TRUE(normalizer);
  return normalizer ? normalizer->normalize(text) : std::string();
}

template <typename Build>
std::string faultOf(Build build) {
  try {
    build();
  } catch (const TokenizerError& error) {
    return error.detail();
  }
  return "no fault";
}

TEST(ByteLevelPreTokenizer, SplitsWithTheGPT2PatternAndSpellsBytes) {
  const Entries plain = {{"type", "ByteLevel"}};
  EXPECT_EQ(preTokenize(plain, "Hello world"), (Tokens{"Hello", "\xC4\xA0world"}));
  EXPECT_EQ(preTokenize(plain, "I'm"), (Tokens{"I", "'m"}));
  // The last space of a run stays with the word.
  EXPECT_EQ(preTokenize(plain, "a  word"), (Tokens{"a", "\xC4\xA0", "\xC4\xA0word"}));
  EXPECT_EQ(preTokenize(plain, "x123 \xC3\xA9"), (Tokens{"x", "123", "\xC4\xA0\xC3\x83\xC2\xA9"}));
  // The prefix space applies to every word, whatever the section.
  const Entries prefixed = {{"type", "ByteLevel"}, {"add_prefix_space", true}};
  EXPECT_EQ(preTokenize(prefixed, "Hello world", {}), (Tokens{"\xC4\xA0Hello", "\xC4\xA0world"}));
  const Entries noRegex = {{"type", "ByteLevel"}, {"use_regex", false}};
  EXPECT_EQ(preTokenize(noRegex, "a b"), (Tokens{"a\xC4\xA0"
                                                 "b"}));
}

TEST(PreTokenizers, PatternMembers) {
  struct Case {
    Entries config;
    const char* text;
    Tokens expected;
  };
  const Case cases[] = {
      {{{"type", "Digits"}}, "ab123", {"ab", "123"}},
      {{{"type", "Digits"}, {"individual_digits", true}}, "ab123", {"ab", "1", "2", "3"}},
      {{{"type", "Whitespace"}}, " a  b\tc ", {"a", "b", "c"}},
      {{{"type", "WhitespaceSplit"}}, "a b", {"a", "b"}},
      {{{"type", "Punctuation"}}, "hi!!, you", {"hi", "!!,", " you"}},
      {{{"type", "BertPreTokenizer"}}, "Hi, you!!", {"Hi", ",", "you", "!", "!"}},
      {{{"type", "Split"}, {"pattern", Config::dictionary({{"String", "-"}})}},
       "a-b--c",
       {"a", "-", "b", "-", "-", "c"}},
      {{{"type", "Split"}, {"pattern", Config::dictionary({{"String", "-"}})}, {"invert", true}},
       "a-b--c",
       {"a", "b", "c"}},
      {{{"type", "Split"}, {"pattern", Config::dictionary({{"Regex", "\\s+"}})}},
       "a  b",
       {"a", "  ", "b"}},
      {{{"type", "Split"}}, "a b", {"a b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(preTokenize(c.config, c.text), c.expected) << c.text;
}

TEST(PreTokenizers, MetaspaceHonoursThePrependScheme) {
  const Entries config = {{"type", "Metaspace"},
                          {"replacement", metaspace},
                          {"add_prefix_space", true},
                          {"prepend_scheme", "first"}};
  EXPECT_EQ(preTokenize(config, "a b", first), (Tokens{metaspace + "a", metaspace + "b"}));
  EXPECT_EQ(preTokenize(config, "a b", {}), (Tokens{"a", metaspace + "b"}));
  const Entries always = {
      {"type", "Metaspace"}, {"replacement", metaspace}, {"add_prefix_space", true}};
  EXPECT_EQ(preTokenize(always, "a", {}), (Tokens{metaspace + "a"}));
  // Text already starting with the replacement gets no second one.
  EXPECT_EQ(preTokenize(always, " a", {}), (Tokens{metaspace + "a"}));
}

TEST(PreTokenizers, SequenceFeedsEachMemberTheWordsOfThePrevious) {
  const Config config = Config::dictionary(
      {{"type", "Sequence"},
       {"pretokenizers", Config::array({Config::dictionary({{"type", "WhitespaceSplit"}}),
                                        Config::dictionary({{"type", "Digits"}}),
                                        Config::dictionary({{"other", 1}})})}});
  const auto sequence = PreTokenizerFactory::fromConfig(config);
  ASSERT_TRUE(sequence);
  EXPECT_EQ((*sequence)("ab12 c3"), (Tokens{"ab", "12", "c", "3"}));
}

TEST(ByteLevelDecoder, RebuildsCharactersAcrossTokens) {
  const Entries config = {{"type", "ByteLevel"}};
  // "é" is C3 A9, spelled "Ã" "©".
  EXPECT_EQ(decode(config, {"\xC3\x83", "\xC2\xA9"}), (Tokens{"\xC3\xA9"}));
  EXPECT_EQ(decode(config, {"a", "\xC3\x83"}), (Tokens{"a\xEF\xBF\xBD"}));
  EXPECT_EQ(decode(config, {"\xC4\xA0hi", "<|endoftext|>", "\xC4\xA0you"}, {"<|endoftext|>"}),
            (Tokens{" hi", "<|endoftext|>", " you"}));
  // Inside a sequence the decoder knows no added tokens, so they are read as
  // byte-table text and joined into the run.
  const Config sequence = Config::dictionary(
      {{"type", "Sequence"},
       {"decoders", Config::array({Config::dictionary({{"type", "ByteLevel"}})})}});
  EXPECT_EQ(DecoderFactory::fromConfig(sequence, {"<x>"})->decode({"a", "<x>"}), (Tokens{"a<x>"}));
}

TEST(Decoders, Members) {
  EXPECT_EQ(decode({{"type", "ByteFallback"}}, {"<0xE2>", "<0x96>", "<0x81>"}),
            (Tokens{metaspace}));
  EXPECT_EQ(decode({{"type", "ByteFallback"}}, {"a", "<0x41>"}), (Tokens{"a", "A"}));
  EXPECT_EQ(decode({{"type", "ByteFallback"}}, {"<0xE2>", "b", "<0x4g>"}),
            (Tokens{"\xEF\xBF\xBD", "b", "<0x4g>"}));
  EXPECT_EQ(decode({{"type", "Fuse"}}, {"a", "b", "c"}), (Tokens{"abc"}));
  EXPECT_EQ(
      decode({{"type", "Strip"}, {"content", " "}, {"start", 1}, {"stop", 0}}, {"  a ", " b"}),
      (Tokens{" a ", "b"}));
  EXPECT_EQ(decode({{"type", "Metaspace"}, {"replacement", metaspace}, {"add_prefix_space", true}},
                   {metaspace + "Hi", metaspace + "you"}),
            (Tokens{"Hi", " you"}));
  EXPECT_EQ(decode({{"type", "Replace"},
                    {"pattern", Config::dictionary({{"String", metaspace}})},
                    {"content", " "}},
                   {metaspace + "a"}),
            (Tokens{" a"}));
  EXPECT_EQ(decode({{"type", "WordPiece"}, {"prefix", "##"}}, {"un", "##aff", "able"}),
            (Tokens{"un", "aff", " able"}));
  EXPECT_EQ(decode({{"type", "WordPiece"}, {"prefix", "##"}, {"cleanup", true}},
                   {"I", "do", "not", "know", "."}),
            (Tokens{"I", " do", " not", " know", "."}));
  EXPECT_EQ(decode({{"type", "WordPiece"}, {"prefix", "##"}}, {}), Tokens{});
}

TEST(Normalizers, Members) {
  const std::string decomposed = "e\xCC\x81";
  const std::string precomposed = "\xC3\xA9";
  EXPECT_EQ(normalize({{"type", "NFC"}}, decomposed), precomposed);
  EXPECT_EQ(normalize({{"type", "NFD"}}, precomposed), decomposed);
  EXPECT_EQ(normalize({{"type", "NFKC"}}, "\xEF\xBC\xA1"), "A");              // fullwidth A
  EXPECT_EQ(normalize({{"type", "NFKD"}}, "\xEF\xAC\x81"), "fi");             // ligature
  EXPECT_EQ(normalize({{"type", "StripAccents"}}, decomposed), precomposed);  // NFKC only
  EXPECT_EQ(normalize({{"type", "Lowercase"}}, "\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(normalize({{"type", "Prepend"}, {"prepend", metaspace}}, "a"), metaspace + "a");
  EXPECT_EQ(normalize({{"type", "Strip"}}, " \ta \n"), "a");
  EXPECT_EQ(normalize({{"type", "Strip"}, {"strip_left", false}}, " a "), " a");
  EXPECT_EQ(normalize({{"type", "Replace"},
                       {"pattern", Config::dictionary({{"Regex", "(\\d)(\\d)"}})},
                       {"content", "$2$1"}},
                      "12 34"),
            "21 43");
  EXPECT_EQ(normalize({{"type", "Bert"}}, "H\xC3\xA9llo\tW\xE4\xB8\xADx"),
            "hello w \xE4\xB8\xAD x");
  EXPECT_EQ(normalize({{"type", "BertNormalizer"}, {"lowercase", false}}, "\xC3\x89"), "\xC3\x89");
  EXPECT_EQ(normalize({{"type", "Precompiled"}}, "a\x01\tb\xEF\xBD\x9E\xEF\xBC\xA1"),
            "a b\xEF\xBD\x9E"
            "A");
  const Config sequence = Config::dictionary(
      {{"type", "Sequence"},
       {"normalizers",
        Config::array({Config::dictionary({{"type", "Lowercase"}}),
                       Config::dictionary({{"type", "Prepend"}, {"prepend", "_"}})})}});
  EXPECT_EQ(NormalizerFactory::fromConfig(sequence)->normalize("AB"), "_ab");
}

TEST(PostProcessors, Members) {
  const Config special =
      Config::dictionary({{"SpecialToken", Config::dictionary({{"id", "<s>"}})}});
  const Config sequenceA = Config::dictionary({{"Sequence", Config::dictionary({{"id", "A"}})}});
  const Config sequenceB = Config::dictionary({{"Sequence", Config::dictionary({{"id", "B"}})}});
  const auto templateProcessing = PostProcessorFactory::fromConfig(
      Config::dictionary({{"type", "TemplateProcessing"},
                          {"single", Config::array({special, sequenceA})},
                          {"pair", Config::array({special, sequenceA, sequenceB})}}));
  EXPECT_EQ(templateProcessing->postProcess({"a"}, std::nullopt, true), (Tokens{"<s>", "a"}));
  EXPECT_EQ(templateProcessing->postProcess({"a"}, std::nullopt, false), (Tokens{"a"}));
  EXPECT_EQ(templateProcessing->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"<s>", "a", "b"}));

  const Config sep = Config::array({"[SEP]", 102});
  const Config cls = Config::array({"[CLS]", 101});
  const auto bert = PostProcessorFactory::fromConfig(
      Config::dictionary({{"type", "BertProcessing"}, {"sep", sep}, {"cls", cls}}));
  EXPECT_EQ(bert->postProcess({"a"}, Tokens{"b"}, true),
            (Tokens{"[CLS]", "a", "[SEP]", "b", "[SEP]"}));
  EXPECT_EQ(bert->postProcess({"a"}, Tokens{"b"}, false), (Tokens{"a", "b"}));

  const auto roberta = PostProcessorFactory::fromConfig(
      Config::dictionary({{"type", "RobertaProcessing"}, {"sep", sep}, {"cls", cls}}));
  EXPECT_EQ(roberta->postProcess({"  a  "}, Tokens{"b"}, false),
            (Tokens{"[CLS]", " a ", "[SEP]", "[SEP]", "b", "[SEP]"}));
  const auto robertaNoPrefix = PostProcessorFactory::fromConfig(Config::dictionary(
      {{"type", "RobertaProcessing"}, {"sep", sep}, {"cls", cls}, {"add_prefix_space", false}}));
  EXPECT_EQ(robertaNoPrefix->postProcess({"  a  "}, std::nullopt, true),
            (Tokens{"[CLS]", "a", "[SEP]"}));

  const auto sequence = PostProcessorFactory::fromConfig(Config::dictionary(
      {{"type", "Sequence"},
       {"processors",
        Config::array(
            {Config::dictionary({{"type", "ByteLevel"}}),
             Config::dictionary({{"type", "BertProcessing"}, {"sep", sep}, {"cls", cls}})})}}));
  // Only the first member sees the pair.
  EXPECT_EQ(sequence->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"[CLS]", "a", "[SEP]"}));
}

TEST(Factories, NoComponentWithoutAType) {
  EXPECT_FALSE(NormalizerFactory::fromConfig(Config()));
  EXPECT_FALSE(PreTokenizerFactory::fromConfig(Config::dictionary({{"type", 3}})));
  EXPECT_FALSE(DecoderFactory::fromConfig(Config::dictionary({})));
  EXPECT_FALSE(PostProcessorFactory::fromConfig(Config()));
}

TEST(Factories, ConfigurationFaults) {
  const auto config = [](Entries entries) { return Config::dictionary(entries); };
  const std::pair<std::string, std::string> cases[] = {
      {faultOf([&] {
         NormalizerFactory::fromConfig(config({{"type", "Foo"}}));
       }),
       "Unsupported Normalizer type: Foo"},
      {faultOf([&] {
         NormalizerFactory::fromConfig(config({{"type", ""}}));
       }),
       "Unsupported Normalizer type: "},
      {faultOf([&] {
         PreTokenizerFactory::fromConfig(config({{"type", "Foo"}}));
       }),
       "Unsupported PreTokenizer type: Foo"},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "Foo"}}));
       }),
       "Unsupported Decoder type: Foo"},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(config({{"type", "Foo"}}));
       }),
       "Unsupported PostProcessor type: Foo"},
      {faultOf([&] {
         NormalizerFactory::fromConfig(config({{"type", "Sequence"}}));
       }),
       "No normalizers in Sequence"},
      {faultOf([&] {
         PreTokenizerFactory::fromConfig(config({{"type", "Sequence"}}));
       }),
       "No pretokenizers in Sequence"},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "Sequence"}}));
       }),
       "No decoders in Sequence"},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "Strip"}, {"start", 1}, {"stop", 1}}));
       }),
       "Incorrect StripDecoder configuration: can't parse `content`."},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "Strip"}, {"content", " "}, {"stop", 1}}));
       }),
       "Incorrect StripDecoder configuration: can't parse `start`."},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "Strip"}, {"content", " "}, {"start", 1}}));
       }),
       "Incorrect StripDecoder configuration: can't parse `stop`."},
      {faultOf([&] {
         DecoderFactory::fromConfig(config({{"type", "WordPiece"}}));
       }),
       "Missing `prefix` configuration for WordPieceDecoder."},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(config({{"type", "TemplateProcessing"}}));
       }),
       "Missing `single` processor configuration"},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(
             config({{"type", "TemplateProcessing"}, {"single", Config::array({})}}));
       }),
       "Missing `pair` processor configuration"},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(config({{"type", "BertProcessing"}}));
       }),
       "Missing `sep` processor configuration"},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(
             config({{"type", "RobertaProcessing"}, {"sep", Config::array({"[SEP]", 1})}}));
       }),
       "Missing `cls` processor configuration"},
      {faultOf([&] {
         PostProcessorFactory::fromConfig(config({{"type", "Sequence"}}));
       }),
       "Missing `processors` configuration"},
      {faultOf([&] {
         NormalizerFactory::fromConfig(config({{"type", "Replace"},
                                               {"pattern", Config::dictionary({{"Regex", "("}})},
                                               {"content", ""}}));
       }),
       "Cannot build regexp from ("},
  };
  for (const auto& [fault, expected] : cases) EXPECT_EQ(fault, expected);
}

}  // namespace
}  // namespace orvane

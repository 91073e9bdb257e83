#include "OrvaneCore/External/Hub/Config.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvane {
namespace {

// "é" precomposed (U+00E9) and as "e" + combining acute (U+0301).
const std::string precomposed = "\xC3\xA9";
const std::string decomposed = "e\xCC\x81";

TEST(BinaryDistinctString, CanonicallyEqualSpellingsStayDistinct) {
  const BinaryDistinctString a(precomposed), b(decomposed);
  EXPECT_FALSE(a == b);
  EXPECT_NE(std::hash<BinaryDistinctString>{}(a), std::hash<BinaryDistinctString>{}(b));
  EXPECT_EQ(a.value, std::u16string(u"\u00E9"));
  EXPECT_EQ(b.value, std::u16string(u"e\u0301"));
  EXPECT_EQ(a.count(), 1u);
  EXPECT_EQ(b.count(), 1u);  // one character, two code units

  const Config config = Config::dictionary({{precomposed, 1}, {decomposed, 2}});
  EXPECT_EQ(config.dictionary()->size(), 2u);
  EXPECT_EQ(config[precomposed].integer(), 1);
  EXPECT_EQ(config[decomposed].integer(), 2);
}

TEST(BinaryDistinctString, OrderConcatenationAndAffixes) {
  const BinaryDistinctString ab("ab"), abc("abc"), b("b");
  EXPECT_TRUE(ab < abc);  // a proper prefix orders first
  EXPECT_TRUE(abc < b);
  EXPECT_EQ((ab + BinaryDistinctString("c")).string(), "abc");
  EXPECT_TRUE(abc.hasPrefix(ab));
  EXPECT_TRUE(abc.hasSuffix(BinaryDistinctString("bc")));
  EXPECT_FALSE(ab.hasPrefix(abc));
  // A supplementary character keeps its surrogate pair exactly.
  const BinaryDistinctString emoji("\xF0\x9F\x98\x80");
  EXPECT_EQ(emoji.value.size(), 2u);
  EXPECT_EQ(emoji.string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(BinaryDistinctString("HeLLo").lowercased().string(), "hello");
  EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+").string(), "a+b+c");
  const std::vector<BinaryDistinctCharacter> characters{{u"a"}, {u"\u00E9"}};
  EXPECT_EQ(BinaryDistinctString(characters).value, std::u16string(u"a\u00E9"));
}

TEST(Config, UncamelCase) {
  const std::pair<const char*, const char*> cases[] = {
      {"addedTokens", "added_tokens"},
      {"cleanUpTokenizationSpaces", "clean_up_tokenization_spaces"},
      {"type", "type"},
      {"Regex", "regex"},
      {"modelURLPath", "model_urlpath"},  // a run of capitals gets one separator
      {"already_snake", "already_snake"},
  };
  for (const auto& [camel, snake] : cases) EXPECT_EQ(uncamelCase(camel), snake) << camel;
}

TEST(Config, MemberLookupFallsBackToSnakeCaseButPrefersExactKey) {
  const Config onlySnake = Config::dictionary({{"added_tokens", 1}});
  EXPECT_EQ(onlySnake["addedTokens"].integer(), 1);
  const Config both = Config::dictionary({{"added_tokens", 1}, {"addedTokens", 2}});
  EXPECT_EQ(both["addedTokens"].integer(), 2);
  EXPECT_EQ(both["added_tokens"].integer(), 1);

  EXPECT_TRUE(onlySnake["missing"].isNull());
  EXPECT_FALSE(onlySnake.member("missing").has_value());
  EXPECT_TRUE(Config(5)["anything"].isNull());
  EXPECT_FALSE(Config(5).member("anything").has_value());
  // A stored null is a value, not an absence.
  const Config storedNull = Config::dictionary({{"x", Config()}});
  ASSERT_TRUE(storedNull.member("x").has_value());
  EXPECT_TRUE(storedNull.member("x")->isNull());
}

TEST(Config, BooleanReads) {
  const std::pair<Config, std::optional<bool>> cases[] = {
      {Config(true), true},         {Config(false), false},   {Config(1), true},
      {Config(0), false},           {Config(2), false},       {Config("T"), true},
      {Config("true"), true},       {Config("1"), true},      {Config("0"), false},
      {Config("F"), false},         {Config("False"), false}, {Config("yes"), std::nullopt},
      {Config(1.0f), std::nullopt}, {Config(), std::nullopt},
  };
  for (const auto& [config, expected] : cases) {
    EXPECT_EQ(config.boolean(), expected) << config.description();
  }
}

TEST(Config, TypedReadsGiveNothingForOtherKinds) {
  const Config text("x");
  EXPECT_EQ(text.string(), "x");
  EXPECT_FALSE(text.integer());
  EXPECT_FALSE(text.floating());
  EXPECT_EQ(text.dictionary(), nullptr);
  EXPECT_EQ(text.array(), nullptr);
  EXPECT_FALSE(Config(3).floating());
  EXPECT_FALSE(Config(3.5f).integer());
  EXPECT_EQ(Config::array({"a", 1, "b", Config()}).get(), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(Config("a").get());
}

TEST(Config, TokenReads) {
  const auto token = Config::array({"<s>", 0}).token();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->first, 0u);
  EXPECT_EQ(token->second.string(), "<s>");
  EXPECT_FALSE(Config::array({0, "<s>"}).token());
  EXPECT_FALSE(Config::array({"<s>", -1}).token());
  EXPECT_FALSE(Config::array({"<s>", 1, 2}).token());
  const auto stored = Config(7u, BinaryDistinctString("x")).token();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->first, 7u);
}

TEST(Config, EqualityAcrossKinds) {
  EXPECT_EQ(Config(2), Config(2.0f));
  EXPECT_NE(Config(2), Config(2.5f));
  EXPECT_EQ(Config(true), Config(1));
  EXPECT_EQ(Config(true), Config("t"));
  EXPECT_EQ(Config(false), Config(2));  // 2 reads as false
  EXPECT_NE(Config(true), Config("yes"));
  EXPECT_NE(Config("1"), Config(1));
  EXPECT_EQ(Config::dictionary({{"a", 1}, {"b", Config::array({1, "x"})}}),
            Config::dictionary({{"b", Config::array({1, "x"})}, {"a", 1}}));
  EXPECT_NE(Config::dictionary({{"a", 1}}), Config::dictionary({{"a", 1}, {"b", 2}}));
  EXPECT_EQ(Config(), Config());
  // A repeated key in a literal keeps the last value.
  EXPECT_EQ(Config::dictionary({{"a", 1}, {"a", 2}})["a"].integer(), 2);
}

TEST(Config, Description) {
  EXPECT_EQ(Config("x").description(), "\"x\"");
  EXPECT_EQ(Config(3).description(), "3");
  EXPECT_EQ(Config(true).description(), "true");
  EXPECT_EQ(Config::array({1, "a", Config()}).description(), "[1, \"a\", null]");
  EXPECT_EQ(Config(5u, BinaryDistinctString("t")).description(), "(5, t)");
  EXPECT_EQ(Config::dictionary({{"k", 1}}).description(), "{\"k\": 1}");
}

TEST(Config, JSONRoundTripAndDecodingOrder) {
  const Config original = Config::dictionary({{"s", "text"},
                                              {"i", 42},
                                              {"f", 0.5f},
                                              {"b", false},
                                              {"n", Config()},
                                              {"a", Config::array({1, "x", true})},
                                              {"t", Config(3u, BinaryDistinctString("tok"))}});
  const nlohmann::json json = original;
  EXPECT_EQ(json["t"], nlohmann::json::parse(R"([3, "tok"])"));
  EXPECT_TRUE(json["n"].is_null());
  const Config decoded = json.get<Config>();
  EXPECT_EQ(decoded, original);
  EXPECT_EQ(decoded["t"].kind(), Config::Kind::token);
  EXPECT_EQ(decoded["i"].kind(), Config::Kind::integer);
  EXPECT_EQ(decoded["f"].kind(), Config::Kind::floating);
  EXPECT_EQ(decoded["b"].kind(), Config::Kind::boolean);
  // A two-element array of a string and a number stays an array.
  EXPECT_EQ(Config::fromJSON(nlohmann::json::parse(R"(["x", 3])")).kind(), Config::Kind::array);
}

TEST(Config, ConversionOfParsedJSON) {
  const Config config = Config::convertToBinaryDistinctKeys(
      nlohmann::json::parse(R"({"a": 1.0, "b": 1.5, "c": [true, null, "s"], "d": {"e": 2}})"));
  EXPECT_EQ(config["a"].kind(), Config::Kind::integer);  // integral numbers are integers
  EXPECT_EQ(config["b"].kind(), Config::Kind::floating);
  EXPECT_EQ(config["c"].array()->at(0).kind(), Config::Kind::boolean);
  EXPECT_TRUE(config["c"].array()->at(1).isNull());
  EXPECT_EQ(config["d"]["e"].integer(), 2);
}

}  // namespace
}  // namespace orvane

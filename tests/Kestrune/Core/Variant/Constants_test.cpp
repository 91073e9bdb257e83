#include "Kestrune/Core/Constants.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using kestrune::Constants;

std::vector<char32_t> codePoints(std::string_view text) {
  std::vector<char32_t> points;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) value = (value << 6) | (text[i + k] & 0x3F);
    points.push_back(value);
    i += length;
  }
  return points;
}

TEST(Constants, Limits) {
  EXPECT_EQ(Constants::maxTokenContext, 224);
  EXPECT_EQ(Constants::defaultWindowSamples, 480000);
  EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000u);
  EXPECT_EQ(Constants::defaultLanguageCode, "en");
  EXPECT_EQ(Constants::defaultRemoteConfigName, "config.json");
}

TEST(Constants, PunctuationSetsAsCodePoints) {
  EXPECT_EQ(codePoints(Constants::defaultPrependPunctuations),
            (std::vector<char32_t>{0x22, 0x27, 0x201C, 0xA1, 0xBF, '(', '[', '{', '-'}));
  EXPECT_EQ(codePoints(Constants::defaultAppendPunctuations),
            (std::vector<char32_t>{0x22, 0x27, '.', 0x3002, ',', 0xFF0C, '!', 0xFF01, '?', 0xFF1F,
                                   ':', 0xFF1A, 0x201D, ')', ']', '}', 0x3001}));
  for (const char c : std::string("<|>")) EXPECT_TRUE(Constants::isSpecialTokenCharacter(c));
  EXPECT_FALSE(Constants::isSpecialTokenCharacter('e'));
}

TEST(Constants, LanguageTableOrder) {
  const auto& languages = Constants::languages;
  ASSERT_EQ(languages.size(), 112u);
  using Entry = std::pair<std::string_view, std::string_view>;
  EXPECT_EQ(languages[0], Entry("english", "en"));
  EXPECT_EQ(languages[1], Entry("chinese", "zh"));
  EXPECT_EQ(languages[29], Entry("norwegian", "no"));
  EXPECT_EQ(languages[80], Entry("haitian creole", "ht"));
  EXPECT_EQ(languages[93], Entry("hawaiian", "haw"));
  EXPECT_EQ(languages[99], Entry("cantonese", "yue"));
  EXPECT_EQ(languages[100], Entry("burmese", "my"));
  EXPECT_EQ(languages[111], Entry("mandarin", "zh"));

  std::set<std::string_view> names, distinctCodes;
  for (const auto& [name, code] : languages) {
    names.insert(name);
    distinctCodes.insert(code);
  }
  EXPECT_EQ(names.size(), 112u);
  EXPECT_EQ(distinctCodes.size(), 100u);
  // The codes in order of first appearance: the first hundred names carry
  // them all, so the alternatives add none.
  ASSERT_EQ(Constants::languageCodes.size(), 100u);
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(Constants::languageCodes[i], languages[i].second);
}

TEST(Constants, LanguageLookups) {
  EXPECT_EQ(Constants::languageCode("castilian"), "es");
  EXPECT_EQ(Constants::languageCode("haitian creole"), "ht");
  EXPECT_EQ(Constants::languageCode("English"), std::nullopt);
  EXPECT_TRUE(Constants::isLanguageCode("haw"));
  EXPECT_TRUE(Constants::isLanguageCode("jw"));
  EXPECT_FALSE(Constants::isLanguageCode("english"));
  EXPECT_FALSE(Constants::isLanguageCode(""));
}

}  // namespace

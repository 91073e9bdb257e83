#include "Platform/Accessibility/GraphemeClusters.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::accessibility {
namespace {

const std::string kEmoji = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // two code points, 8 bytes
const std::string kFamily =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // five code points
const std::string kAccented = "e\xCC\x81";  // two code points, 3 bytes

TEST(GraphemeClusterBoundaries, MarksWhereEachCharacterBegins) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::size_t> expected;
  };
  const std::vector<Case> cases = {
      {"empty", "", {0}},
      {"letters", "ab", {0, 1, 2}},
      {"emoji with modifier, CR LF", "a" + kEmoji + "\r\n", {0, 1, 9, 11}},
      {"combining accent", kAccented + "x", {0, 3, 4}},
      {"joined family", kFamily, {0, kFamily.size()}},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_EQ(graphemeClusterBoundaries(testCase.text), testCase.expected);
  }
}

TEST(GraphemeClustersBeforeCodePoint, ConvertsACaretToCharacters) {
  struct Case {
    const char* name;
    std::string text;
    std::int64_t codePoints;
    std::int64_t expected;
  };
  const std::vector<Case> cases = {
      {"negative", "abc", -1, 0},
      {"start", "abc", 0, 0},
      {"middle", "abc", 2, 2},
      {"end", "abc", 3, 3},
      {"past the end keeps the excess", "abc", 5, 5},
      {"past the end of nothing", "", 2, 2},
      {"before an emoji", "hi " + kEmoji, 3, 3},
      {"inside an emoji counts it", "hi " + kEmoji, 4, 4},
      {"after an emoji", "hi " + kEmoji, 5, 4},
      {"inside an accented letter", kAccented + "x", 1, 1},
      {"after an accented letter", kAccented + "x", 2, 1},
      {"after the following letter", kAccented + "x", 3, 2},
      {"after CR LF", "\r\n", 2, 1},
      {"after a joined family", kFamily, 5, 1},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_EQ(graphemeClustersBeforeCodePoint(testCase.text, testCase.codePoints),
              testCase.expected);
  }
}

}  // namespace
}  // namespace platform::accessibility

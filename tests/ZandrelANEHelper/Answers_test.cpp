#include "ZandrelANEHelper/Answers.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "OrvaneCore/JSONWriter.hpp"
#include "ZandrelANEHelper/TranscriptAssembly.hpp"

namespace {

using namespace zandrel;

TEST(Answers, WireForms) {
  EXPECT_EQ(encodeReadyResponse(251.4), R"({"ok":true,"ready":true,"load_ms":251.4})");
  EXPECT_EQ(encodeErrorResponse("invalid request"), R"({"ok":false,"error":"invalid request"})");
  EXPECT_EQ(encodeTranscriptionResponse({"", {}, 0.5}),
            R"({"ok":true,"text":"","words":[],"decode_ms":0.5})");
}

TEST(Answers, NonFiniteNumbersAreUnencodable) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_THROW(encodeTranscriptionResponse({"", {{"w", 0, inf, 1}}, 1}), orvane::JSONEncodingError);
  EXPECT_THROW(encodeReadyResponse(std::numeric_limits<double>::quiet_NaN()),
               orvane::JSONEncodingError);
}

TEST(TranscriptAssembly, TrimsUnicodeWhitespaceAtTheEndsOnly) {
  struct Case {
    std::string text, trimmed;
  };
  const Case cases[] = {
      {"  a  b \n", "a  b"},
      {"\t\r\n", ""},
      {"", ""},
      {"\u3000\u00a0x\u2028\u0085", "x"},
      {"\u200bx", "\u200bx"},        // a zero-width space is not white space
      {"x \xe3\x80", "x \xe3\x80"},  // a cut-off sequence stays
      {"é ", "é"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trimmedWhitespace(c.text), c.trimmed);
  }
}

TEST(TranscriptAssembly, JoinsWithOneSpace) {
  EXPECT_EQ(joinedText({{" a", {}}, {" b", {}}, {"", {}}}), "a  b");
  EXPECT_EQ(joinedText({}), "");
  EXPECT_EQ(joinedText({{"", {}}, {"", {}}}), "");
}

}  // namespace

#include "ZandrelANEHelper/Request.hpp"

#include <gtest/gtest.h>

#include "ZandrelANEHelper/InputError.hpp"

namespace {

using namespace zandrel;

TEST(Request, DecodesSampleCounts) {
  struct Case {
    const char* line;
    std::optional<int64_t> samples;
  };
  const Case cases[] = {
      {R"({"cmd":"transcribe","samples":16000})", 16000},
      {R"({"cmd":"transcribe","samples":-3})", -3},
      {R"({"cmd":"transcribe","samples":2.0})", 2},
      {R"({"cmd":"transcribe","samples":1e3})", 1000},
      {R"({"cmd":"transcribe","samples":9223372036854775807})", INT64_MAX},
      {R"({"cmd":"transcribe","samples":null})", std::nullopt},
      {R"({"cmd":"transcribe"})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto request = decodeRequest(c.line);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->cmd, "transcribe");
    EXPECT_EQ(request->samples, c.samples);
  }
}

TEST(Request, RefusesWrongTypes) {
  for (const char* line :
       {"", " ", "null", "\"quit\"", R"({"cmd":"quit"} x)", R"({"cmd":["quit"]})",
        R"({"cmd":"transcribe","samples":1.5})", R"({"cmd":"transcribe","samples":1e300})",
        R"({"cmd":"transcribe","samples":9223372036854775808})",
        R"({"cmd":"transcribe","samples":true})", R"({"cmd":"transcribe","language":["en"]})"}) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(decodeRequest(line));
  }
}

TEST(Request, Commands) {
  struct Case {
    Request request;
    Command command;
  };
  const Case cases[] = {
      {{"quit", -1, {}}, Command::quit},
      {{"transcribe", 0, {}}, Command::transcribe},
      {{"transcribe", maxSampleCount, {}}, Command::transcribe},
      {{"transcribe", maxSampleCount + 1, {}}, Command::invalidTranscribe},
      {{"transcribe", -1, {}}, Command::invalidTranscribe},
      {{"transcribe", std::nullopt, {}}, Command::invalidTranscribe},
      {{"QUIT", {}, {}}, Command::invalidTranscribe},
      {{"transcribe ", 1, {}}, Command::invalidTranscribe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.cmd);
    EXPECT_EQ(commandOf(c.request), c.command);
  }
}

TEST(InputError, TextForms) {
  EXPECT_STREQ(InputError::endOfFile().what(), "endOfFile");
  EXPECT_STREQ(InputError::invalidUTF8().what(), "invalidUTF8");
  EXPECT_STREQ(InputError::oversizedLine().what(), "oversizedLine");
  EXPECT_STREQ(InputError::invalidSampleCount().what(), "invalidSampleCount");
  EXPECT_EQ(InputError::oversizedLine(), InputError::oversizedLine());
  EXPECT_FALSE(InputError::oversizedLine() == InputError::endOfFile());
}

}  // namespace

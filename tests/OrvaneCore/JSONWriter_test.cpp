#include "OrvaneCore/JSONWriter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

using orvane::JSONWriter;

TEST(JSONWriter, NumbersInTheShortestFormOfTheirWidth) {
  EXPECT_EQ(JSONWriter::number(0.56f), "0.56");
  EXPECT_EQ(JSONWriter::number(0.56), "0.56");
  EXPECT_EQ(JSONWriter::number(static_cast<double>(0.56f)), "0.5600000023841858");
  EXPECT_EQ(JSONWriter::number(1.0f), "1");
  EXPECT_EQ(JSONWriter::number(-0.0f), "-0");
  EXPECT_EQ(JSONWriter::number(1e20f), "1e+20");
  EXPECT_EQ(JSONWriter::number(int64_t{-42}), "-42");
  EXPECT_EQ(JSONWriter::number(uint64_t{18446744073709551615u}), "18446744073709551615");
  // Whatever form is chosen, a reader gets the same value back.
  for (const float value : {0.1f, 3.4028235e38f, 1.17549435e-38f, 251.4f, 1e-7f}) {
    EXPECT_EQ(std::stof(JSONWriter::number(value)), value);
  }
}

TEST(JSONWriter, NonFiniteNumbersAreRefused) {
  for (const double value : {std::nan(""), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
    JSONWriter json;
    json.beginObject();
    EXPECT_THROW(json.field("x", value), orvane::JSONEncodingError);
    EXPECT_THROW(json.field("y", static_cast<float>(value)), orvane::JSONEncodingError);
  }
}

TEST(JSONWriter, TextEscapes) {
  struct Case {
    std::string text, json;
  };
  const Case cases[] = {
      {"a/b", R"("a\/b")"},
      {"é 日本 🎤", "\"é 日本 🎤\""},
      {"q\"b\\", R"("q\"b\\")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {"\x01\x1f", R"("\u0001\u001f")"},
      {"bad \xff end", "\"bad \xEF\xBF\xBD end\""},
      {"\xe6\x97", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::string out;
    JSONWriter::appendQuoted(out, c.text);
    EXPECT_EQ(out, c.json);
    EXPECT_TRUE(nlohmann::json::accept(out));
  }
}

TEST(JSONWriter, CompactNestingInWrittenOrder) {
  JSONWriter json;
  json.beginObject().field("z", 1).key("list").beginArray();
  json.value("a").beginObject().endObject().beginArray().endArray().null().value(false);
  json.endArray().field("a", 0.5f).endObject();
  EXPECT_EQ(json.str(), R"({"z":1,"list":["a",{},[],null,false],"a":0.5})");
}

}  // namespace

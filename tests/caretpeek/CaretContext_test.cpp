#include "caretpeek/CaretContext.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace caretpeek {
namespace {

namespace ax = platform::accessibility;
using ax::AttributeQuery;
using ax::OtherValue;
using ax::Status;
using ax::TextRange;

// What the fake desktop answers, and the log of what it was asked.
struct Answers {
  Status focusStatus = Status::success;
  bool hasFocusedElement = true;
  AttributeQuery value{Status::success, ax::AttributeValue(std::string("abc"))};
  AttributeQuery range{Status::success, ax::AttributeValue(TextRange{0, 0})};
};

class FakeElement final : public ax::Element {
 public:
  FakeElement(const Answers& answers, std::vector<std::string>& calls, bool systemWide)
      : answers_(answers), calls_(calls), systemWide_(systemWide) {}
  ax::FocusQuery focusedElement() const override {
    calls_.push_back("focusedElement");
    if (!systemWide_) return {Status::attributeUnsupported, nullptr};
    std::unique_ptr<ax::Element> element;
    if (answers_.hasFocusedElement)
      element = std::make_unique<FakeElement>(answers_, calls_, false);
    return {answers_.focusStatus, std::move(element)};
  }
  AttributeQuery value() const override {
    calls_.push_back("value");
    return answers_.value;
  }
  AttributeQuery selectedTextRange() const override {
    calls_.push_back("selectedTextRange");
    return answers_.range;
  }

 private:
  const Answers& answers_;
  std::vector<std::string>& calls_;
  bool systemWide_;
};

class FakeAccessibility final : public ax::Accessibility {
 public:
  explicit FakeAccessibility(Answers answers) : answers_(std::move(answers)) {}
  std::unique_ptr<ax::Element> createSystemWide() override {
    return std::make_unique<FakeElement>(answers_, calls, true);
  }
  std::vector<std::string> calls;

 private:
  Answers answers_;
};

AttributeQuery text(const std::string& value) {
  return {Status::success, ax::AttributeValue(value)};
}
AttributeQuery caret(std::int64_t location, std::int64_t length = 0) {
  return {Status::success, ax::AttributeValue(TextRange{location, length})};
}
const AttributeQuery kFailed{Status::failure, std::nullopt};
const AttributeQuery kNothing{Status::success, std::nullopt};

struct Case {
  const char* name;
  Answers answers;
  std::string expected;
};

Answers focusAnswers(Status status, bool hasElement) {
  Answers answers;
  answers.focusStatus = status;
  answers.hasFocusedElement = hasElement;
  return answers;
}
Answers fieldAnswers(AttributeQuery value, AttributeQuery range) {
  Answers answers;
  answers.value = std::move(value);
  answers.range = std::move(range);
  return answers;
}

const std::string kEmoji = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up + skin tone
const std::string kFamily =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // joined by ZWJ
const std::string kAccented = "e\xCC\x81";                     // e + combining acute
const std::string kFlag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // two regional letters

TEST(CaretContextLine, FollowsTheOrderOfTheConditions) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const std::vector<Case> cases = {
      {"focus query failed, element anyway", focusAnswers(Status::apiDisabled, true), "NO_FOCUS"},
      {"focus query returned nothing", focusAnswers(Status::success, false), "NO_FOCUS"},
      {"focus query timed out", focusAnswers(Status::cannotComplete, false), "NO_FOCUS"},
      {"value query failed", fieldAnswers(kFailed, caret(1)), "NO_VALUE"},
      {"value query returned nothing", fieldAnswers(kNothing, caret(1)), "NO_VALUE"},
      {"value is not a string",
       fieldAnswers({Status::success, ax::AttributeValue(OtherValue{})}, caret(1)), "NO_VALUE"},
      {"value is a range", fieldAnswers(caret(1), caret(1)), "NO_VALUE"},
      {"value unsupported, range failed", fieldAnswers(kFailed, kFailed), "NO_VALUE"},
      {"empty text, range failed", fieldAnswers(text(""), kFailed), "EMPTY"},
      {"empty text, caret beyond", fieldAnswers(text(""), caret(3)), "EMPTY"},
      {"range query failed", fieldAnswers(text("abc"), kFailed), "NO_RANGE"},
      {"range query returned nothing", fieldAnswers(text("abc"), kNothing), "NO_RANGE"},
      {"range value unreadable keeps location 0",
       fieldAnswers(text("abc"), {Status::success, ax::AttributeValue(OtherValue{})}), "START"},
      {"caret at the start", fieldAnswers(text("abc"), caret(0)), "START"},
      {"caret before the start", fieldAnswers(text("abc"), caret(-1)), "START"},
      {"caret after the first letter", fieldAnswers(text("abc"), caret(1)), "CHAR:a"},
      {"caret in the middle", fieldAnswers(text("abc"), caret(2)), "CHAR:b"},
      {"caret at the end", fieldAnswers(text("abc"), caret(3)), "CHAR:c"},
      {"selection length is ignored", fieldAnswers(text("abc"), caret(2, 5)), "CHAR:b"},
      {"caret beyond the end", fieldAnswers(text("abc"), caret(4)), "CHAR:c"},
      {"caret far beyond the end", fieldAnswers(text("abc"), caret(kMax)), "CHAR:c"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    FakeAccessibility accessibility(testCase.answers);
    EXPECT_EQ(caretContextLine(accessibility), testCase.expected);
  }
}

TEST(CaretContextLine, CountsUserPerceivedCharacters) {
  const std::vector<Case> cases = {
      {"emoji with modifier at the end", fieldAnswers(text("hi " + kEmoji), caret(4)),
       "CHAR:" + kEmoji},
      // A caret counted in smaller units lands beyond the end: still the emoji.
      {"emoji, caret in code units", fieldAnswers(text("hi " + kEmoji), caret(7)),
       "CHAR:" + kEmoji},
      {"emoji before more text", fieldAnswers(text(kEmoji + "x"), caret(1)), "CHAR:" + kEmoji},
      {"joined family emoji", fieldAnswers(text("a" + kFamily), caret(2)), "CHAR:" + kFamily},
      {"flag", fieldAnswers(text(kFlag + kFlag), caret(2)), "CHAR:" + kFlag},
      {"combining accent", fieldAnswers(text("caf" + kAccented), caret(4)), "CHAR:" + kAccented},
      {"letter after a combining accent", fieldAnswers(text(kAccented + "x"), caret(2)), "CHAR:x"},
      {"CR LF is one character", fieldAnswers(text("a\r\nb"), caret(2)), "CHAR:\r\n"},
      {"after CR LF", fieldAnswers(text("a\r\nb"), caret(3)), "CHAR:b"},
      {"line feed printed as it is", fieldAnswers(text("line\n"), caret(5)), "CHAR:\n"},
      {"two-byte letter", fieldAnswers(text("\xC3\xA9t\xC3\xA9"), caret(3)), "CHAR:\xC3\xA9"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    FakeAccessibility accessibility(testCase.answers);
    EXPECT_EQ(caretContextLine(accessibility), testCase.expected);
  }
}

TEST(CaretContextLine, AsksForValueThenRangeWhateverTheValue) {
  struct OrderCase {
    const char* name;
    Answers answers;
    std::vector<std::string> calls;
  };
  const std::vector<std::string> all = {"focusedElement", "value", "selectedTextRange"};
  const std::vector<OrderCase> cases = {
      {"no focus", focusAnswers(Status::failure, false), {"focusedElement"}},
      {"value failed", fieldAnswers(kFailed, caret(1)), all},
      {"empty value", fieldAnswers(text(""), caret(1)), all},
      {"text", fieldAnswers(text("abc"), caret(1)), all},
  };
  for (const OrderCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    FakeAccessibility accessibility(testCase.answers);
    caretContextLine(accessibility);
    EXPECT_EQ(accessibility.calls, testCase.calls);
  }
}

}  // namespace
}  // namespace caretpeek

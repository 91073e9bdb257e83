#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace platform::accessibility {

// Outcome of one accessibility query, after the statuses of the macOS
// accessibility calls; every backend maps its own failures onto these.
enum class Status {
  success,
  failure,               // the query failed for a reason the backend cannot name
  apiDisabled,           // no accessibility service (no permission, no bus)
  noValue,               // the attribute exists but holds nothing
  attributeUnsupported,  // the element has no such attribute
  cannotComplete,        // the service did not answer in time
};

// A selection in the units of the element's value: the caret is a range of
// length 0.
struct TextRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

// An attribute value of a kind the probe does not read (a number, an array).
struct OtherValue {
  friend bool operator==(const OtherValue&, const OtherValue&) = default;
};

// A string is UTF-8; a range counts user-perceived characters of the value
// (see the backends for how their offsets are converted).
using AttributeValue = std::variant<std::string, TextRange, OtherValue>;

struct AttributeQuery {
  Status status = Status::failure;
  std::optional<AttributeValue> value;  // absent: the query returned nothing
};

class Element;

struct FocusQuery {
  Status status = Status::failure;
  std::unique_ptr<Element> element;  // null: the query returned nothing
};

// One accessible object. The queries are those the caret probe needs, each
// with its status, so that a caller can tell "failed" from "returned nothing".
class Element {
 public:
  virtual ~Element() = default;
  // The element holding the keyboard focus; meaningful on the system-wide
  // element.
  virtual FocusQuery focusedElement() const = 0;
  // The element's value: its text for a text element.
  virtual AttributeQuery value() const = 0;
  // The selected range of the value, or the caret as an empty range.
  virtual AttributeQuery selectedTextRange() const = 0;
};

// Entry point of a backend.
class Accessibility {
 public:
  virtual ~Accessibility() = default;
  // The element that stands for the whole desktop.
  virtual std::unique_ptr<Element> createSystemWide() = 0;
};

// The backend of this platform: AT-SPI2 on Linux, ApplicationServices on macOS.
std::unique_ptr<Accessibility> makeSystemAccessibility();

}  // namespace platform::accessibility

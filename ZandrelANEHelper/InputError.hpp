#pragma once

#include <string>
#include <string_view>

#include "OrvaneCore/TypedError.hpp"

namespace zandrel {

// Errors of the helper's input side. The line reader raises endOfFile and
// oversizedLine; the other two exist for completeness: the JSON parser judges
// UTF-8, and a bad sample count is answered directly.
class InputError : public orvane::TypedError {
 public:
  enum class Case { endOfFile, invalidUTF8, oversizedLine, invalidSampleCount };

  explicit InputError(Case kind);

  static InputError endOfFile() { return InputError(Case::endOfFile); }
  static InputError invalidUTF8() { return InputError(Case::invalidUTF8); }
  static InputError oversizedLine() { return InputError(Case::oversizedLine); }
  static InputError invalidSampleCount() { return InputError(Case::invalidSampleCount); }

  static std::string_view caseName(Case kind);

  Case kind() const noexcept { return kind_; }
  std::string errorDescription() const override;
  bool operator==(const InputError& other) const { return kind_ == other.kind_; }

 private:
  Case kind_;
};

}  // namespace zandrel

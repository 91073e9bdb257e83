#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Writes a text the way a debugger shows a string value: between double
// quotes, with quotes, apostrophes and backslashes escaped and control
// characters spelled out. Error payloads are rendered with it.
std::string debugQuoted(std::string_view text);

// Base of every error kind of ours: a named case with an optional payload.
// what() gives the default text form, "caseName" or "caseName(payload)", so
// any std::exception can be put into a message through what() alone, while
// errorDescription() gives the readable message.
class TypedError : public std::exception {
 public:
  const char* what() const noexcept override { return textForm_.c_str(); }
  const std::string& caseName() const noexcept { return caseName_; }
  const std::string& textForm() const noexcept { return textForm_; }
  virtual std::string errorDescription() const = 0;

 protected:
  // `renderedPayload` holds each payload value already in debugging form,
  // with its label ("label: value") where the payload field has one.
  TypedError(std::string caseName, const std::vector<std::string>& renderedPayload);

 private:
  std::string caseName_;
  std::string textForm_;
};

// The text an error contributes to a message: the default text form of our
// own kinds and the library's own description of any other exception.
std::string errorText(const std::exception& error);
std::string errorText(const std::exception_ptr& error);

}  // namespace orvane

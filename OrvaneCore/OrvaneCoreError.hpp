#pragma once

#include <string>

#include "OrvaneCore/TypedError.hpp"

namespace orvane {

// The core library's error kind; raised by the model manager.
class OrvaneCoreError : public TypedError {
 public:
  enum class Case { invalidConfiguration };

  static OrvaneCoreError invalidConfiguration(std::string message) {
    return OrvaneCoreError(Case::invalidConfiguration, std::move(message));
  }

  Case kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  std::string errorDescription() const override { return message_; }
  bool operator==(const OrvaneCoreError& other) const {
    return kind_ == other.kind_ && message_ == other.message_;
  }

 private:
  OrvaneCoreError(Case kind, std::string message)
      : TypedError("invalidConfiguration", {debugQuoted(message)}),
        kind_(kind),
        message_(std::move(message)) {}

  Case kind_;
  std::string message_;
};

}  // namespace orvane

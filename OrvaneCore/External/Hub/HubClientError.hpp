#pragma once

#include <string>

#include "OrvaneCore/TypedError.hpp"

namespace orvane {

// Errors of configuration reading and of the hub client.
class HubClientError : public TypedError {
 public:
  enum class Case {
    httpStatusCode,
    jsonSerialization,
    downloadError,
    fileNotFound,
    networkError,
    resourceNotFound,
    configurationMissing,
    fileSystemError,
    parseError,
    authorizationRequired,
    parse,
    unexpectedError,
  };

  static HubClientError httpStatusCode(int code);
  // `fileURL` is the file location as a URL string ("file:///...").
  static HubClientError jsonSerialization(std::string fileURL, std::string message);
  static HubClientError downloadError(std::string text);
  static HubClientError fileNotFound(std::string text);
  // `description` is the transport's own description of the failure.
  static HubClientError networkError(std::string description);
  static HubClientError resourceNotFound(std::string text);
  static HubClientError configurationMissing(std::string text);
  static HubClientError fileSystemError(const std::exception& underlying);
  static HubClientError fileSystemError(std::string description);
  static HubClientError parseError(std::string text);
  static HubClientError authorizationRequired();
  static HubClientError parse();
  static HubClientError unexpectedError();

  Case kind() const noexcept { return kind_; }
  // The message, status code as text, or underlying description, by case.
  const std::string& detail() const noexcept { return detail_; }
  int statusCode() const noexcept { return statusCode_; }
  std::string errorDescription() const override;
  bool operator==(const HubClientError& other) const {
    return kind_ == other.kind_ && detail_ == other.detail_ && textForm() == other.textForm();
  }

 private:
  HubClientError(Case kind, std::string caseName, std::vector<std::string> payload,
                 std::string detail, int statusCode = 0);

  Case kind_;
  std::string detail_;
  int statusCode_;
};

}  // namespace orvane

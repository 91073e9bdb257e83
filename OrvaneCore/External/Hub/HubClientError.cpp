#include "OrvaneCore/External/Hub/HubClientError.hpp"

namespace orvane {

HubClientError::HubClientError(Case kind, std::string caseName, std::vector<std::string> payload,
                               std::string detail, int statusCode)
    : TypedError(std::move(caseName), payload),
      kind_(kind),
      detail_(std::move(detail)),
      statusCode_(statusCode) {}

HubClientError HubClientError::httpStatusCode(int code) {
  return {
      Case::httpStatusCode, "httpStatusCode", {std::to_string(code)}, std::to_string(code), code};
}

HubClientError HubClientError::jsonSerialization(std::string fileURL, std::string message) {
  return {Case::jsonSerialization,
          "jsonSerialization",
          {"fileURL: " + fileURL, "message: " + debugQuoted(message)},
          std::move(message)};
}

#define ORVANE_HUB_TEXT_CASE(name)                                    \
  HubClientError HubClientError::name(std::string text) {             \
    return {Case::name, #name, {debugQuoted(text)}, std::move(text)}; \
  }

ORVANE_HUB_TEXT_CASE(downloadError)
ORVANE_HUB_TEXT_CASE(fileNotFound)
ORVANE_HUB_TEXT_CASE(resourceNotFound)
ORVANE_HUB_TEXT_CASE(configurationMissing)
ORVANE_HUB_TEXT_CASE(parseError)
#undef ORVANE_HUB_TEXT_CASE

HubClientError HubClientError::networkError(std::string description) {
  return {Case::networkError, "networkError", {description}, description};
}

HubClientError HubClientError::fileSystemError(const std::exception& underlying) {
  // The text form shows the underlying error's own text form; the
  // description its readable message.
  const auto* typed = dynamic_cast<const TypedError*>(&underlying);
  std::string description = typed != nullptr ? typed->errorDescription() : underlying.what();
  return {
      Case::fileSystemError, "fileSystemError", {errorText(underlying)}, std::move(description)};
}

HubClientError HubClientError::fileSystemError(std::string description) {
  return {Case::fileSystemError, "fileSystemError", {description}, description};
}

HubClientError HubClientError::authorizationRequired() {
  return {Case::authorizationRequired, "authorizationRequired", {}, {}};
}
HubClientError HubClientError::parse() {
  return {Case::parse, "parse", {}, {}};
}
HubClientError HubClientError::unexpectedError() {
  return {Case::unexpectedError, "unexpectedError", {}, {}};
}

std::string HubClientError::errorDescription() const {
  switch (kind_) {
    case Case::httpStatusCode: return "HTTP error with status code: " + detail_;
    case Case::jsonSerialization: return detail_;
    case Case::downloadError: return "Download failed: " + detail_;
    case Case::fileNotFound: return "File not found: " + detail_;
    case Case::networkError: return "Network error: " + detail_;
    case Case::resourceNotFound: return "Resource not found: " + detail_;
    case Case::configurationMissing: return "Required configuration file missing: " + detail_;
    case Case::fileSystemError: return "File system error: " + detail_;
    case Case::parseError: return "Parse error: " + detail_;
    case Case::authorizationRequired:
      return "Authentication required. Please provide a valid Hugging Face token.";
    case Case::parse: return "Failed to parse server response.";
    case Case::unexpectedError: return "An unexpected error occurred.";
  }
  return {};
}

}  // namespace orvane

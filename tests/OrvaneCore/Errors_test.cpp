#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/OrvaneCoreError.hpp"
#include "OrvaneCore/TypedError.hpp"

namespace {

using kestrune::WhisperError;
using orvane::HubClientError;
using orvane::Logging;

TEST(DebugQuoted, EscapesLikeADebugger) {
  struct Case {
    std::string text, quoted;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"it's", "\"it\\'s\""},
      {"a\\b", "\"a\\\\b\""},
      {"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""},
      {std::string("nul\0end", 7), "\"nul\\0end\""},
      {"\x1b[0m\x7f", "\"\\u{1B}[0m\\u{7F}\""},
      {"\x01", "\"\\u{01}\""},
      {"/ é 日本", "\"/ é 日本\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(orvane::debugQuoted(c.text), c.quoted);
  }
}

TEST(ErrorTextForms, CaseNameWithPayload) {
  struct Case {
    std::string text, expected;
  };
  const std::vector<Case> cases = {
      {WhisperError::modelsUnavailable("Model file not found at /m/MelSpectrogram.mlmodelc").what(),
       "modelsUnavailable(\"Model file not found at /m/MelSpectrogram.mlmodelc\")"},
      {WhisperError::modelsUnavailable().what(), "modelsUnavailable(\"Models are unavailable\")"},
      {WhisperError::modelsUnavailable(
           "Model not found. Please check the model or repo name and try again.\nError: x")
           .what(),
       "modelsUnavailable(\"Model not found. Please check the model or repo name and try "
       "again.\\nError: x\")"},
      {WhisperError::decodingFailed().what(), "decodingFailed(\"Decoding failed\")"},
      {orvane::OrvaneCoreError::invalidConfiguration("Cannot load in state: Loading").what(),
       "invalidConfiguration(\"Cannot load in state: Loading\")"},
      {HubClientError::httpStatusCode(404).what(), "httpStatusCode(404)"},
      {HubClientError::jsonSerialization("file:///a/config.json", "bad \"json\"").what(),
       "jsonSerialization(fileURL: file:///a/config.json, message: \"bad \\\"json\\\"\")"},
      {HubClientError::fileNotFound("tokenizer.json").what(), "fileNotFound(\"tokenizer.json\")"},
      {HubClientError::authorizationRequired().what(), "authorizationRequired"},
      {HubClientError::unexpectedError().what(), "unexpectedError"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(ErrorTextForms, ErrorTextOfForeignAndOwnErrors) {
  EXPECT_EQ(orvane::errorText(std::runtime_error("disk on fire")), "disk on fire");
  EXPECT_EQ(orvane::errorText(WhisperError::tokenizerUnavailable()),
            "tokenizerUnavailable(\"Tokenizer is unavailable\")");
  EXPECT_EQ(orvane::errorText(std::make_exception_ptr(HubClientError::parse())), "parse");
  const auto wrapped = HubClientError::fileSystemError(HubClientError::fileNotFound("a.json"));
  EXPECT_STREQ(wrapped.what(), "fileSystemError(fileNotFound(\"a.json\"))");
  EXPECT_EQ(wrapped.errorDescription(), "File system error: File not found: a.json");
  // Thrown through std::exception, the text form survives.
  try {
    throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
  } catch (const std::exception& e) {
    EXPECT_EQ(orvane::errorText(e), "segmentingFailed(\"Invalid alignment matrix shape\")");
  }
}

TEST(HubClientErrorDescriptions, ByCase) {
  struct Case {
    HubClientError error;
    std::string description;
  };
  const Case cases[] = {
      {HubClientError::httpStatusCode(503), "HTTP error with status code: 503"},
      {HubClientError::jsonSerialization("file:///x", "Unexpected character"),
       "Unexpected character"},
      {HubClientError::downloadError("timeout"), "Download failed: timeout"},
      {HubClientError::fileNotFound("a"), "File not found: a"},
      {HubClientError::networkError("offline"), "Network error: offline"},
      {HubClientError::resourceNotFound("r"), "Resource not found: r"},
      {HubClientError::configurationMissing("config.json"),
       "Required configuration file missing: config.json"},
      {HubClientError::fileSystemError(std::runtime_error("denied")), "File system error: denied"},
      {HubClientError::parseError("p"), "Parse error: p"},
      {HubClientError::authorizationRequired(),
       "Authentication required. Please provide a valid Hugging Face token."},
      {HubClientError::parse(), "Failed to parse server response."},
      {HubClientError::unexpectedError(), "An unexpected error occurred."},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.errorDescription(), c.description);
}

TEST(WhisperErrorBehaviour, EqualityAndLoggedDescription) {
  EXPECT_EQ(WhisperError::decodingFailed("x"), WhisperError::decodingFailed("x"));
  EXPECT_FALSE(WhisperError::decodingFailed("x") == WhisperError::decodingFailed("y"));
  EXPECT_FALSE(WhisperError::decodingFailed("x") == WhisperError::transcriptionFailed("x"));

  std::vector<std::string> lines;
  Logging::updateLogLevel(Logging::LogLevel::error);
  Logging::updateCallback([&](const std::string& line) { lines.push_back(line); });
  const std::string description = WhisperError::tokenizerUnavailable().errorDescription();
  Logging::updateCallback(nullptr);
  Logging::updateLogLevel(Logging::LogLevel::none);
  EXPECT_EQ(description, "Tokenizer is unavailable");
  EXPECT_EQ(lines, std::vector<std::string>{"Tokenizer is unavailable"});
}

}  // namespace

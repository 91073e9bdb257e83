#pragma once

#include <string>
#include <string_view>

#include "OrvaneCore/TypedError.hpp"

namespace kestrune {

// Why a JSON form could not be read back into one of the engine's values.
// `path` names the coding path of the offending value ("segments[0].words").
class JSONDecodingError : public orvane::TypedError {
 public:
  enum class Case { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

  JSONDecodingError(Case kind, std::string path, std::string message);

  static JSONDecodingError keyNotFound(std::string path, std::string key) {
    return {Case::keyNotFound, std::move(path), "No value associated with key \"" + key + "\"."};
  }
  static JSONDecodingError valueNotFound(std::string path, std::string message) {
    return {Case::valueNotFound, std::move(path), std::move(message)};
  }
  static JSONDecodingError typeMismatch(std::string path, std::string message) {
    return {Case::typeMismatch, std::move(path), std::move(message)};
  }
  static JSONDecodingError dataCorrupted(std::string path, std::string message) {
    return {Case::dataCorrupted, std::move(path), std::move(message)};
  }

  static std::string_view caseName(Case kind);

  Case kind() const noexcept { return kind_; }
  const std::string& path() const noexcept { return path_; }
  const std::string& message() const noexcept { return message_; }
  std::string errorDescription() const override { return message_; }

 private:
  Case kind_;
  std::string path_;
  std::string message_;
};

}  // namespace kestrune

#pragma once

#include <stdexcept>
#include <string>

namespace platform::net {

// A transfer that failed below HTTP: no connection, a cut connection, a
// time-out or a cancellation. HTTP statuses are never reported this way.
class NetworkError : public std::runtime_error {
 public:
  enum class Code { cancelled, timedOut, cannotConnect, connectionLost, other };

  NetworkError(Code code, const std::string& description)
      : std::runtime_error(description), code_(code) {}

  Code code() const noexcept { return code_; }
  bool isCancelled() const noexcept { return code_ == Code::cancelled; }

  static NetworkError cancelled() { return {Code::cancelled, "cancelled"}; }

 private:
  Code code_;
};

}  // namespace platform::net

#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::net {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named `name` (compared without case).
std::optional<std::string> headerValue(const HeaderFields& fields, std::string_view name);
// Sets `name` to `value`, replacing every field of that name.
void setHeader(HeaderFields& fields, std::string name, std::string value);

struct HttpRequest {
  std::string method = "GET";  // "GET", "HEAD", "POST", ...
  std::string url;
  HeaderFields headers;
  std::string body;
  // Idle limit: the connection must open and bytes must keep flowing within
  // this many seconds, however long the whole transfer takes.
  double timeoutSeconds = 60;
  bool followRedirects = true;
};

struct HttpResponse {
  int statusCode = 0;
  std::string url;  // the address that answered, after any redirects
  HeaderFields headers;
  std::string body;

  std::optional<std::string> header(std::string_view name) const {
    return headerValue(headers, name);
  }
};

// Receives a body as it arrives. `onResponse` sees the final response's head
// before any body byte; returning false ends the transfer quietly (the head
// is returned). `onData` may throw; the transfer then stops and the
// exception reaches the caller unchanged.
struct StreamHandlers {
  std::function<bool(const HttpResponse&)> onResponse;
  std::function<void(std::string_view)> onData;
};

// Blocking HTTP transfers on libcurl. Failures below HTTP are thrown as
// NetworkError; any status code is a normal response. Setting `*cancelled`
// from another thread aborts the transfer within about a second with
// NetworkError::cancelled().
class HttpClient {
 public:
  static HttpResponse send(const HttpRequest& request,
                           const std::atomic<bool>* cancelled = nullptr);
  static HttpResponse stream(const HttpRequest& request, const StreamHandlers& handlers,
                             const std::atomic<bool>* cancelled = nullptr);
};

struct URLParts {
  std::string scheme;
  std::string host;
  std::string port;   // empty when the address names none
  std::string path;   // "/" at least
  std::string query;  // without "?"
};

// The parts of an absolute address; none when it has no scheme or host.
std::optional<URLParts> parseAbsoluteURL(const std::string& url);
// `reference` (a path with an optional query) resolved against the absolute
// address `base`; none when either cannot be read.
std::optional<std::string> resolveReference(const std::string& base, const std::string& reference);
// Percent-escapes everything but unreserved characters, "/" included, so the
// text stays one path component.
std::string escapePathComponent(std::string_view text);

}  // namespace platform::net

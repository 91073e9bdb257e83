#include "Platform/Net/HttpClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>

#include "Platform/Net/NetworkError.hpp"

namespace platform::net {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

void initialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Everything the callbacks of one transfer share.
struct Transfer {
  CURL* handle = nullptr;
  const StreamHandlers* handlers = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  HttpResponse response;
  bool headDelivered = false;
  bool stoppedByReceiver = false;
  std::exception_ptr receiverError;

  // Fills in the status and address of the response whose head just ended
  // and hands it to the receiver; false when the receiver wants no body.
  bool deliverHead() {
    if (headDelivered) return !stoppedByReceiver;
    headDelivered = true;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = static_cast<int>(status);
    char* effective = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
      response.url = effective;
    if (handlers == nullptr || !handlers->onResponse) return true;
    // Nothing may unwind through the library's frames: a receiver's
    // exception is kept and rethrown once the transfer has stopped.
    try {
      if (!handlers->onResponse(response)) stoppedByReceiver = true;
    } catch (...) {
      receiverError = std::current_exception();
      return false;
    }
    return !stoppedByReceiver;
  }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::string_view line(data, size * count);
  // Each response of a redirect chain (and any interim answer) starts again.
  if (line.starts_with("HTTP/")) {
    transfer.response.headers.clear();
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    transfer.response.headers.emplace_back(trimmed(line.substr(0, colon)),
                                           trimmed(line.substr(colon + 1)));
  }
  return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  if (!transfer.deliverHead()) return 0;
  const std::string_view piece(data, size * count);
  if (transfer.handlers == nullptr || !transfer.handlers->onData) {
    transfer.response.body.append(piece);
    return piece.size();
  }
  try {
    transfer.handlers->onData(piece);
  } catch (...) {
    transfer.receiverError = std::current_exception();
    return 0;
  }
  return piece.size();
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& transfer = *static_cast<Transfer*>(context);
  return transfer.cancelled != nullptr && transfer.cancelled->load() ? 1 : 0;
}

NetworkError::Code codeOf(CURLcode result) {
  switch (result) {
    case CURLE_ABORTED_BY_CALLBACK: return NetworkError::Code::cancelled;
    case CURLE_OPERATION_TIMEDOUT: return NetworkError::Code::timedOut;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return NetworkError::Code::cannotConnect;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return NetworkError::Code::connectionLost;
    default: return NetworkError::Code::other;
  }
}

void configure(CURL* handle, const HttpRequest& request, curl_slist* headers, Transfer& transfer,
               char* errorBuffer) {
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 20L);
  if (request.method == "HEAD") {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else if (request.method == "POST") {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  const auto timeoutMs = static_cast<long>(std::max(1.0, request.timeoutSeconds * 1000));
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(std::max(1.0, std::ceil(request.timeoutSeconds))));
  // Bodies arrive in pieces of at most this size; callers gather them.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 16384L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
}

HttpResponse perform(const HttpRequest& request, const StreamHandlers* handlers,
                     const std::atomic<bool>* cancelled) {
  initialiseOnce();
  if (cancelled != nullptr && cancelled->load()) throw NetworkError::cancelled();
  const std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
  if (!handle) throw NetworkError(NetworkError::Code::other, "could not create a transfer");
  std::unique_ptr<curl_slist, ListDeleter> headers;
  for (const auto& [name, value] : request.headers) {
    const std::string line = name + ": " + value;
    curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
    if (appended == nullptr) throw NetworkError(NetworkError::Code::other, "out of memory");
    (void)headers.release();
    headers.reset(appended);
  }
  Transfer transfer;
  transfer.handle = handle.get();
  transfer.handlers = handlers;
  transfer.cancelled = cancelled;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  configure(handle.get(), request, headers.get(), transfer, errorBuffer);
  const CURLcode result = curl_easy_perform(handle.get());
  if (transfer.receiverError) std::rethrow_exception(transfer.receiverError);
  if (transfer.stoppedByReceiver) return std::move(transfer.response);
  if (result != CURLE_OK) {
    const std::string detail = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
    if (result == CURLE_ABORTED_BY_CALLBACK) throw NetworkError::cancelled();
    throw NetworkError(codeOf(result), detail);
  }
  transfer.deliverHead();  // a response without a body
  if (transfer.receiverError) std::rethrow_exception(transfer.receiverError);
  return std::move(transfer.response);
}

}  // namespace

std::optional<std::string> headerValue(const HeaderFields& fields, std::string_view name) {
  for (const auto& [key, value] : fields)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

void setHeader(HeaderFields& fields, std::string name, std::string value) {
  std::erase_if(fields, [&](const auto& field) { return equalsIgnoringCase(field.first, name); });
  fields.emplace_back(std::move(name), std::move(value));
}

HttpResponse HttpClient::send(const HttpRequest& request, const std::atomic<bool>* cancelled) {
  return perform(request, nullptr, cancelled);
}

HttpResponse HttpClient::stream(const HttpRequest& request, const StreamHandlers& handlers,
                                const std::atomic<bool>* cancelled) {
  return perform(request, &handlers, cancelled);
}

std::optional<URLParts> parseAbsoluteURL(const std::string& url) {
  struct URLDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
  };
  const std::unique_ptr<CURLU, URLDeleter> handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  auto part = [&](CURLUPart which) -> std::string {
    char* text = nullptr;
    if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string value(text);
    curl_free(text);
    return value;
  };
  URLParts parts{part(CURLUPART_SCHEME), part(CURLUPART_HOST), part(CURLUPART_PORT),
                 part(CURLUPART_PATH), part(CURLUPART_QUERY)};
  if (parts.scheme.empty() || parts.host.empty()) return std::nullopt;
  if (parts.path.empty()) parts.path = "/";
  return parts;
}

std::optional<std::string> resolveReference(const std::string& base, const std::string& reference) {
  struct URLDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
  };
  const std::unique_ptr<CURLU, URLDeleter> handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  char* text = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || text == nullptr)
    return std::nullopt;
  std::string resolved(text);
  curl_free(text);
  return resolved;
}

std::string escapePathComponent(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      escaped += c;
    } else {
      escaped += '%';
      escaped += digits[byte >> 4];
      escaped += digits[byte & 0xF];
    }
  }
  return escaped;
}

}  // namespace platform::net

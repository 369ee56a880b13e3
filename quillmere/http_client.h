// A small HTTPS client over libcurl: one handle, reused, one exchange per call.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

/// One answer. `transport_error` is set, and `status` is 0, when no answer
/// arrived (refused, time-out, certificate rejected, ...): a time-out is never
/// confused with an HTTP status.
struct HttpResponse {
  long status = 0;
  std::string body;
  std::string transport_error;

  bool answered() const { return transport_error.empty(); }
};

/// Calls curl_global_init for the life of the object; create it in main before
/// any HttpClient and before any second thread.
class CurlGlobal {
 public:
  CurlGlobal();
  ~CurlGlobal();
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

/// Plain GET and JSON POST. Certificates are always verified; a CA bundle named
/// by CURL_CA_BUNDLE (first) or SSL_CERT_FILE is used instead of the system
/// one; https_proxy/no_proxy are honoured by libcurl itself. Redirects are not
/// followed, so a POST is never re-sent elsewhere.
class HttpClient {
 public:
  /// `timeout_seconds` bounds each whole exchange.
  explicit HttpClient(long timeout_seconds = 10);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse get(const std::string& url, const HttpHeaders& headers);
  /// POSTs `json_body` with "Content-Type: application/json".
  HttpResponse post_json(const std::string& url, const std::string& json_body,
                         const HttpHeaders& headers);

 private:
  struct Handle;
  HttpResponse perform(const std::string& url, const std::string* body, const HttpHeaders& headers);

  std::unique_ptr<Handle> handle_;
  long timeout_seconds_;
};

/// Percent-encodes everything but unreserved characters (RFC 3986).
std::string percent_encode(std::string_view text);

/// `text` with every occurrence of `secret` (as is, percent-encoded or
/// JSON-escaped) replaced by "[MASKED]"; unchanged when `secret` is empty.
std::string mask_secret(std::string text, std::string_view secret);

}  // namespace quillmere

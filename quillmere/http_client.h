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
/// arrived (refused, time-out, certificate rejected, ...).
struct HttpResponse {
  long status = 0;
  std::string body;
  std::string transport_error;

  bool answered() const { return transport_error.empty(); }
};

/// Calls curl_global_init once for the process lifetime; create it in main
/// before any HttpClient.
class CurlGlobal {
 public:
  CurlGlobal();
  ~CurlGlobal();
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

class HttpClient {
 public:
  /// `timeout_seconds` bounds each exchange.
  explicit HttpClient(long timeout_seconds = 10);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse get(const std::string& url, const HttpHeaders& headers);
  /// POSTs `json_body` as application/json.
  HttpResponse post_json(const std::string& url, const std::string& json_body,
                         const HttpHeaders& headers);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

/// Percent-encodes everything but unreserved characters (RFC 3986).
std::string percent_encode(std::string_view text);

}  // namespace quillmere

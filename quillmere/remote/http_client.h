// A small HTTPS client over libcurl: one handle, reused, one exchange per call.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

/// The most of an answer body that is kept: a longer answer fails the call
/// with kAnswerTooLarge, read no further than that.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{1024} * 1024;
inline constexpr std::string_view kAnswerTooLarge = "answer larger than 1 MiB";
/// An answer with a header line longer than libcurl takes (100 KiB), which
/// libcurl itself reports only as being out of memory.
inline constexpr std::string_view kAnswerHeaderTooLarge =
    "answer with a header larger than 100 KiB";

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

/// One answer. `transport_error` is set, and `status` is 0, when no answer
/// arrived (refused, time-out, certificate rejected, ...): a time-out is never
/// confused with an HTTP status.
struct HttpResponse {
  long status = 0;
  std::string body;
  std::string transport_error;
  /// The Retry-After header as whole seconds; -1 when absent or not a number.
  long long retry_after_seconds = -1;
  /// GitLab's X-Next-Page header: the next page of a list, 0 on the last
  /// page (the header is empty there), -1 when the header is absent.
  long long next_page = -1;
  /// No answer, and the request certainly never reached the server: the
  /// name did not resolve, the connection was refused, or the TLS handshake
  /// or the certificate check failed. False whenever it may have arrived.
  bool sent_nothing = false;

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

/// Plain GET and JSON POST. An answer body longer than kMaxAnswerBytes is a
/// transport error, kAnswerTooLarge. Certificates are always verified, against the
/// given CA bundles (several are combined into one private file, here) or
/// else the system's own; libcurl loads the CA file once and keeps it;
/// https_proxy/no_proxy are honoured by libcurl itself. Redirects are not
/// followed, and a POST is never sent twice: its body cannot be rewound, so
/// libcurl cannot silently repeat it when a reused connection dies.
class HttpClient {
 public:
  /// `timeout_seconds` bounds each whole exchange; several CA bundles are
  /// combined into one file in `temp_dir`.
  explicit HttpClient(long timeout_seconds = 10, const std::vector<std::string>& ca_bundles = {},
                      std::string temp_dir = "/tmp");
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
  std::vector<std::string> ca_bundles_;
  std::string temp_dir_;          ///< where a combined CA bundle is written
  std::string ca_file_;           ///< the CA file to verify against; empty for the system's
  std::string combined_ca_file_;  ///< several bundles in one private file, removed with us
};

}  // namespace quillmere

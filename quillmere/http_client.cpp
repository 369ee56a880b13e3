#include "quillmere/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/settings.h"
#include "quillmere/types.h"

namespace quillmere {

namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

size_t append_to_string(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Builds the header list; a name or value with a line break would smuggle in
// extra headers, so it is refused (without echoing the value, which may be a
// token).
HeaderList build_headers(const HttpHeaders& headers, bool json_body, std::string& refusal) {
  HeaderList list;
  auto append = [&](const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) throw OnboardingError("Out of memory while building HTTP headers");
    list.release();
    list.reset(extended);
  };
  for (const auto& [name, value] : headers) {
    if (name.empty() || has_line_break(name) || has_line_break(value)) {
      refusal = "Refused HTTP header " + (has_line_break(name) ? std::string("?") : name) +
                ": name or value contains a line break";
      return nullptr;
    }
    append(name + ": " + value);
  }
  if (json_body) {
    append("Content-Type: application/json");
    // Without this libcurl waits for a "100 Continue" on larger bodies.
    append("Expect:");
  }
  return list;
}

// The CA bundles named by the environment. Both variables count: a
// machine-wide CURL_CA_BUNDLE must not hide the CA an operator names in
// SSL_CERT_FILE for a self-hosted GitLab, nor the other way round.
std::vector<std::string> ca_bundles() {
  std::vector<std::string> bundles;
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    if (!env_is_set(name)) continue;
    std::string path = *env_value(name);
    if (std::find(bundles.begin(), bundles.end(), path) == bundles.end())
      bundles.push_back(std::move(path));
  }
  return bundles;
}

// The certificates of several PEM bundles as one; an unreadable file adds
// nothing, so verification against it fails as it would for a missing file.
std::string concatenated_bundles(const std::vector<std::string>& paths) {
  std::string pem;
  for (const std::string& path : paths) {
    std::ifstream file(path, std::ios::binary);
    pem.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    pem.push_back('\n');
  }
  return pem;
}

// Points the handle at the environment's CA bundles; with none, libcurl's
// own default bundle stays in force.
void use_ca_bundles(CURL* easy) {
  const std::vector<std::string> bundles = ca_bundles();
  if (bundles.size() == 1) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, bundles.front().c_str());
  } else if (bundles.size() > 1) {
    std::string pem = concatenated_bundles(bundles);
    curl_blob blob{pem.data(), pem.size(), CURL_BLOB_COPY};
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  }
}

}  // namespace

struct HttpClient::Handle {
  EasyHandle easy;
};

CurlGlobal::CurlGlobal() {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    throw OnboardingError("Cannot initialise libcurl");
}

CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

HttpClient::HttpClient(long timeout_seconds)
    : handle_(std::make_unique<Handle>()), timeout_seconds_(timeout_seconds) {
  handle_->easy.reset(curl_easy_init());
  if (!handle_->easy) throw OnboardingError("Cannot create a libcurl handle");
}

HttpClient::~HttpClient() = default;

HttpResponse HttpClient::get(const std::string& url, const HttpHeaders& headers) {
  return perform(url, nullptr, headers);
}

HttpResponse HttpClient::post_json(const std::string& url, const std::string& json_body,
                                   const HttpHeaders& headers) {
  return perform(url, &json_body, headers);
}

HttpResponse HttpClient::perform(const std::string& url, const std::string* body,
                                 const HttpHeaders& headers) {
  HttpResponse response;
  HeaderList header_list = build_headers(headers, body != nullptr, response.transport_error);
  if (!response.transport_error.empty()) return response;

  CURL* easy = handle_->easy.get();
  // Reset drops every option of the previous call but keeps the connection
  // cache, so consecutive calls to the same host may share a connection.
  curl_easy_reset(easy);
  char error_buffer[CURL_ERROR_SIZE] = {};

  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeout_seconds_);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  use_ca_bundles(easy);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, append_to_string);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &response.body);
  if (body) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode code = curl_easy_perform(easy);
  // The handle must not keep pointers into this call's buffers and lists.
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  if (code != CURLE_OK) {
    response.status = 0;
    response.body.clear();
    response.transport_error = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    return response;
  }
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

std::string percent_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

std::string mask_secret(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  static constexpr std::string_view kMask = "[MASKED]";
  std::string json_escaped = nlohmann::json(std::string(secret))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  json_escaped = json_escaped.substr(1, json_escaped.size() - 2);
  for (const std::string& form : {std::string(secret), percent_encode(secret), json_escaped}) {
    for (size_t at = text.find(form); at != std::string::npos;
         at = text.find(form, at + kMask.size())) {
      text.replace(at, form.size(), kMask);
    }
  }
  return text;
}

}  // namespace quillmere

#include "quillmere/remote/http_client.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "quillmere/remote/ca_bundle.h"
#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/text.h"

namespace quillmere {

// Outside the anonymous namespace: HttpClient::Handle holds an EasyHandle.
struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

namespace {

// The answer body as it arrives, up to kMaxAnswerBytes: past that nothing
// more is kept and the transfer is ended, so an endless or huge answer costs
// neither memory nor the wait for the time-out.
struct BodySink {
  std::string* body;
  bool too_large = false;
};

size_t append_to_body(char* data, size_t size, size_t count, void* sink) {
  auto* answer = static_cast<BodySink*>(sink);
  const size_t n = size * count;
  if (answer->body->size() + n > kMaxAnswerBytes) {
    answer->too_large = true;
    return CURL_WRITEFUNC_ERROR;
  }
  answer->body->append(data, n);
  return n;
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
    (void)list.release();  // the same list, now held as `extended`: handed on, not freed
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

// The certificates of several PEM bundles as one private file, so that
// libcurl can load them as one CA file. A bundle that cannot be read (start-up
// has refused such settings already) adds nothing, so verification against
// it fails as it would for a missing file.
std::string write_combined_bundle(const std::vector<std::string>& paths,
                                  const std::string& temp_dir) {
  std::string pem;
  for (const std::string& path : paths) {
    try {
      pem += read_ca_bundle("CA bundle", path);
    } catch (const OnboardingError&) {
    }
    pem.push_back('\n');
  }
  std::string name = temp_dir + "/quillmere-ca-XXXXXX";
  const FileDescriptor file(::mkstemp(name.data()));  // mode 0600
  if (!file.is_open()) throw OnboardingError("Cannot write the combined CA bundle: " + name);
  for (size_t done = 0; done < pem.size();) {
    const ssize_t n = ::write(file.get(), pem.data() + done, pem.size() - done);
    if (n <= 0) {
      ::unlink(name.c_str());
      throw OnboardingError("Cannot write the combined CA bundle: " + name);
    }
    done += static_cast<size_t>(n);
  }
  return name;
}

// The request body, handed to libcurl piece by piece and never rewound.
struct BodyReader {
  std::string_view rest;
};

size_t read_body(char* buffer, size_t size, size_t count, void* source) {
  auto* reader = static_cast<BodyReader*>(source);
  const size_t n = std::min(size * count, reader->rest.size());
  std::copy_n(reader->rest.data(), n, buffer);
  reader->rest.remove_prefix(n);
  return n;
}

// The answer headers a caller uses.
struct HeaderSink {
  long long* retry_after_seconds;
  long long* next_page;
};

// The whole number a header line carries after its name: `empty` when it
// carries nothing, -1 when it is not a number.
long long header_number(std::string_view value, long long empty) {
  long long number = 0;
  bool digits = false;
  for (char c : value) {
    if (c >= '0' && c <= '9') {
      digits = true;
      if (number < 1000000) number = number * 10 + (c - '0');
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return -1;
    }
  }
  return digits ? number : empty;
}

// "Retry-After: 30" as 30 (the HTTP-date form is not used by GitLab), and
// "X-Next-Page: 2" as 2.
size_t read_header(char* data, size_t size, size_t count, void* sink) {
  const std::string_view line(data, size * count);
  auto* headers = static_cast<HeaderSink*>(sink);
  const auto value_of = [&](std::string_view name) -> std::optional<std::string_view> {
    if (line.size() < name.size() || ascii_lower(line.substr(0, name.size())) != name)
      return std::nullopt;
    return line.substr(name.size());
  };
  if (const auto value = value_of("retry-after:")) {
    const long long seconds = header_number(*value, -1);
    if (seconds >= 0) *headers->retry_after_seconds = seconds;
  } else if (const auto next = value_of("x-next-page:")) {
    *headers->next_page = header_number(*next, 0);
  }
  return size * count;
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

HttpClient::HttpClient(long timeout_seconds, const std::vector<std::string>& ca_bundles,
                       std::string temp_dir)
    : handle_(std::make_unique<Handle>()),
      timeout_seconds_(timeout_seconds),
      ca_bundles_(ca_bundles),
      temp_dir_(std::move(temp_dir)),
      ca_file_(ca_bundles.size() == 1 ? ca_bundles.front() : std::string()) {
  handle_->easy.reset(curl_easy_init());
  if (!handle_->easy) throw OnboardingError("Cannot create a libcurl handle");
}

HttpClient::~HttpClient() {
  if (!combined_ca_file_.empty()) ::unlink(combined_ca_file_.c_str());
}

HttpResponse HttpClient::get(const std::string& url, const HttpHeaders& headers) {
  return perform(url, nullptr, headers);
}

HttpResponse HttpClient::post_json(const std::string& url, const std::string& json_body,
                                   const HttpHeaders& headers) {
  return perform(url, &json_body, headers);
}

namespace {

// Failures that end an exchange before any byte of the request could reach
// the server: no address, no connection, or no trusted TLS session.
bool is_failure_before_sending(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return true;
    default:
      return false;
  }
}

}  // namespace

HttpResponse HttpClient::perform(const std::string& url, const std::string* body,
                                 const HttpHeaders& headers) {
  HttpResponse response;
  HeaderList header_list = build_headers(headers, body != nullptr, response.transport_error);
  if (!response.transport_error.empty()) return response;

  // Combined at the first call, not before: the bundles are read only once
  // start-up has checked the settings that name them.
  if (ca_bundles_.size() > 1 && combined_ca_file_.empty()) {
    combined_ca_file_ = write_combined_bundle(ca_bundles_, temp_dir_);
    ca_file_ = combined_ca_file_;
  }

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
  // The named bundles replace the system's own. A CA file (unlike a blob) is
  // loaded once and kept by libcurl for later connections, so a fresh
  // connection costs only its handshake.
  if (!ca_file_.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file_.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list.get());
  BodySink body_sink{&response.body};
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, append_to_body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body_sink);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, read_header);
  HeaderSink header_sink{&response.retry_after_seconds, &response.next_page};
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &header_sink);
  BodyReader reader{body ? std::string_view(*body) : std::string_view()};
  if (body) {
    // A reused connection that dies after the request went out makes libcurl
    // send it again on its own. The body is handed over by a reader that
    // cannot rewind, so such a repeat fails instead: a POST that may already
    // have been acted on goes out once. (A connection found dead before
    // anything was sent is still replaced, which repeats nothing.)
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, read_body);
    curl_easy_setopt(easy, CURLOPT_READDATA, &reader);
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
    response.transport_error = body_sink.too_large ? std::string(kAnswerTooLarge)
                               : code == CURLE_OUT_OF_MEMORY && error_buffer[0] == '\0'
                                   ? std::string(kAnswerHeaderTooLarge)
                               : error_buffer[0] != '\0' ? error_buffer
                                                         : curl_easy_strerror(code);
    response.sent_nothing = is_failure_before_sending(code);
    return response;
  }
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace quillmere

#include "quillmere/http_client.h"

namespace quillmere {
struct HttpClient::Handle {};
CurlGlobal::CurlGlobal() {}
CurlGlobal::~CurlGlobal() {}
HttpClient::HttpClient(long) {}
HttpClient::~HttpClient() = default;
HttpResponse HttpClient::get(const std::string&, const HttpHeaders&) { return {}; }
HttpResponse HttpClient::post_json(const std::string&, const std::string&, const HttpHeaders&) { return {}; }
std::string percent_encode(std::string_view text) { return std::string(text); }
}  // namespace quillmere

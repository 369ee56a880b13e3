#include "tests/standins/standin_servers.h"

#include <strings.h>

namespace quillmere::standins {

namespace {

std::string masked(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8))
    text.replace(at, secret.size(), "[MASKED]");
  return text;
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0)
      return value;
  return "";
}

bool RecordedRequest::has_header(std::string_view name) const {
  for (const auto& header_entry : headers)
    if (header_entry.first.size() == name.size() &&
        ::strncasecmp(header_entry.first.data(), name.data(), name.size()) == 0)
      return true;
  return false;
}

nlohmann::ordered_json RecordedRequest::json_body() const {
  return nlohmann::ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
}

nlohmann::ordered_json RecordedRequest::to_json(std::string_view secret) const {
  nlohmann::ordered_json record;
  record["method"] = method;
  record["path"] = path;
  record["query"] = masked(query, secret);
  nlohmann::ordered_json header_record = nlohmann::ordered_json::object();
  for (const auto& [name, value] : headers) header_record[name] = masked(value, secret);
  record["headers"] = header_record;
  const nlohmann::ordered_json parsed =
      nlohmann::ordered_json::parse(masked(body, secret), nullptr, false);
  if (parsed.is_discarded())
    record["body"] = masked(body, secret);
  else
    record["json"] = parsed;
  record["status"] = status;
  record["response"] = masked(response_body, secret);
  return record;
}

}  // namespace quillmere::standins

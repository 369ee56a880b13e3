#include "quillmere/secrets.h"

#include <nlohmann/json.hpp>

#include "quillmere/text.h"

namespace quillmere {

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

std::string url_path(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t authority = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t path = url.find('/', authority);
  if (path == std::string_view::npos || path + 1 >= url.size()) return {};
  return std::string(url.substr(path));
}

}  // namespace quillmere

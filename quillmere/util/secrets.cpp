#include "quillmere/util/secrets.h"

#include <cctype>
#include <utility>

#include <nlohmann/json.hpp>

#include "quillmere/util/text.h"

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

namespace {

// Where the user information of the URL starting at `scheme_end` ("://")
// lies: [begin, at) with text[at] == '@'; begin == at when there is none.
// The authority ends at the first "/", "?", "#" or white space.
std::pair<size_t, size_t> user_info_span(std::string_view text, size_t scheme_end) {
  const size_t begin = scheme_end + 3;
  size_t end = begin;
  while (end < text.size() && text[end] != '/' && text[end] != '?' && text[end] != '#' &&
         !std::isspace(static_cast<unsigned char>(text[end])))
    ++end;
  const size_t at = text.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return {begin, begin};
  return {begin, begin + at};
}

}  // namespace

std::string url_user_info(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  const auto [begin, at] = user_info_span(url, scheme);
  return std::string(url.substr(begin, at - begin));
}

std::string url_password(std::string_view url) {
  const std::string user_info = url_user_info(url);
  const size_t colon = user_info.find(':');
  return colon == std::string::npos ? std::string() : user_info.substr(colon + 1);
}

std::string mask_url_credentials(std::string_view text) {
  static constexpr std::string_view kMask = "***";
  std::string shown;
  size_t copied = 0;
  for (size_t scheme = text.find("://"); scheme != std::string_view::npos;
       scheme = text.find("://", scheme + 3)) {
    const auto [begin, at] = user_info_span(text, scheme);
    if (begin == at) continue;
    shown.append(text.substr(copied, begin - copied));
    shown.append(kMask);
    copied = at;
    scheme = at - 3;  // go on after the "@"
  }
  shown.append(text.substr(copied));
  return shown;
}

std::string without_url_credentials(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  const auto [begin, at] = user_info_span(url, scheme);
  if (begin == at) return std::string(url);
  return std::string(url.substr(0, begin)) + std::string(url.substr(at + 1));
}

}  // namespace quillmere

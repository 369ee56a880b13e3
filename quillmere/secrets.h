// Keeping secrets out of texts that leave the process.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

/// `text` with every occurrence of `secret` (as is, percent-encoded or
/// JSON-escaped) replaced by "[MASKED]"; unchanged when `secret` is empty.
std::string mask_secret(std::string text, std::string_view secret);

/// The path (and query) of a URL, "/webhookb2/..." of "https://host/webhookb2/...";
/// empty when it has none beyond "/". Whoever holds a webhook's path can post
/// to it, so it is as secret as the whole URL.
std::string url_path(std::string_view url);

}  // namespace quillmere

// Small text helpers shared by the subsystems.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

/// Removes leading and trailing white space.
std::string trim(std::string_view text);

/// The pieces of `text` between the separators, empty ones included; views
/// into `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

/// The pieces with `separator` between them.
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

/// CR LF and a lone CR both become LF, as text-mode reading does.
std::string normalise_line_endings(std::string_view text);

/// Percent-encodes everything but unreserved characters (RFC 3986).
std::string percent_encode(std::string_view text);

/// A-Z to a-z (or the other way round); every other byte unchanged.
std::string ascii_lower(std::string_view text);
std::string ascii_upper(std::string_view text);

/// Length of the well-formed UTF-8 sequence at `pos`, with its code point;
/// 0 for anything else (overlong forms, surrogates, beyond U+10FFFF, cut off).
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& code_point);

/// True when all of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

/// Text from outside (a file name, a YAML value, a server's body, a command's
/// output) made safe for one log record: control characters (C0, DEL, C1)
/// and bytes that are not UTF-8 are shown as "\xNN" escapes, so nothing can
/// start a new line or drive a terminal. Ordinary text and emoji are unchanged.
std::string printable(std::string_view text);

/// The most of a server's answer that goes into a log line or a failure text.
inline constexpr std::size_t kExcerptCharacters = 1000;

/// `text` when it holds at most `max_characters` characters (a UTF-8 sequence
/// or a stray byte counts as one); otherwise its first `max_characters`
/// characters followed by " … (N bytes)", N being the size of all of it.
std::string excerpt(std::string_view text, std::size_t max_characters = kExcerptCharacters);

/// The same from the end, for output whose last words count (a command's):
/// `text` when it holds at most `max_characters` characters; otherwise its
/// last `max_characters` characters followed by " … (N bytes)", N being
/// `total_bytes`, the size of all the output `text` is the end of.
std::string tail_excerpt(std::string_view text, std::size_t total_bytes,
                         std::size_t max_characters = kExcerptCharacters);

/// Like printable, but line feeds stay: for the logger, whose own messages
/// may hold the documented line breaks.
std::string printable_keeping_line_feeds(std::string_view text);

}  // namespace quillmere

#include "quillmere/util/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quillmere {

namespace {

void append_escape(std::string& out, unsigned char byte) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\x%02x", byte);
  out += escape;
}

std::string escape_controls(std::string_view text, bool keep_line_feeds) {
  std::string shown;
  shown.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t code_point = 0;
    const size_t length = decode_utf8(text, pos, code_point);
    if (length == 0) {
      append_escape(shown, static_cast<unsigned char>(text[pos]));
      ++pos;
      continue;
    }
    const bool control =
        code_point < 0x20 || code_point == 0x7f || (code_point >= 0x80 && code_point <= 0x9f);
    if (control && !(keep_line_feeds && code_point == '\n')) {
      // A C1 control is two bytes in UTF-8; each is shown.
      for (size_t i = 0; i < length; ++i)
        append_escape(shown, static_cast<unsigned char>(text[pos + i]));
    } else {
      shown.append(text.substr(pos, length));
    }
    pos += length;
  }
  return shown;
}

}  // namespace

std::string trim(std::string_view text) {
  const auto is_blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  size_t begin = 0, end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string_view::npos; start = end + 1)
    pieces.push_back(text.substr(start, end - start));
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string text;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) text += separator;
    text += pieces[i];
  }
  return text;
}

std::string normalise_line_endings(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      result.push_back(text[i]);
      continue;
    }
    result.push_back('\n');
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return result;
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

std::string ascii_lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

std::string ascii_upper(std::string_view text) {
  std::string raised(text);
  for (char& c : raised)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return raised;
}

size_t decode_utf8(std::string_view text, size_t pos, char32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  return length;
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  char32_t code_point = 0;
  while (pos < text.size()) {
    const size_t length = decode_utf8(text, pos, code_point);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string excerpt(std::string_view text, size_t max_characters) {
  size_t pos = 0;
  for (size_t characters = 0; pos < text.size() && characters < max_characters; ++characters) {
    char32_t code_point = 0;
    pos += std::max<size_t>(decode_utf8(text, pos, code_point), 1);
  }
  if (pos >= text.size()) return std::string(text);
  return std::string(text.substr(0, pos)) + " … (" + std::to_string(text.size()) + " bytes)";
}

std::string tail_excerpt(std::string_view text, size_t total_bytes, size_t max_characters) {
  // Counted backwards: every byte that is not a UTF-8 continuation byte
  // starts a character.
  size_t pos = text.size();
  for (size_t characters = 0; pos > 0 && characters < max_characters;) {
    --pos;
    characters += (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
  }
  if (pos == 0) return std::string(text);
  return std::string(text.substr(pos)) + " … (" + std::to_string(total_bytes) + " bytes)";
}

std::string printable(std::string_view text) { return escape_controls(text, false); }

std::string printable_keeping_line_feeds(std::string_view text) {
  return escape_controls(text, true);
}

}  // namespace quillmere

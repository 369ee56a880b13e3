#include "quillmere/request/yaml_scalar.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "quillmere/util/text.h"

#include "quillmere/util/text.h"

namespace quillmere {

namespace {

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }
bool is_nonzero_digit(char c) { return c >= '1' && c <= '9'; }
bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }
bool is_binary_digit(char c) { return c == '0' || c == '1'; }
bool is_hex_digit(char c) {
  return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_digit_or_underscore(char c) { return is_decimal_digit(c) || c == '_'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string without_underscores(std::string_view text) {
  std::string result;
  for (char c : text)
    if (c != '_') result.push_back(c);
  return result;
}

[[noreturn]] void reject(std::string_view what, std::string_view text) {
  throw std::invalid_argument("invalid " + std::string(what) + " '" + std::string(text) + "'");
}

// A read position in a scalar; the schema's patterns are matched by hand
// rather than with std::regex, whose recursion a long scalar can exhaust.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  std::string_view rest() const { return text_.substr(pos_); }

  bool eat(char c) {
    return eat_if([c](char x) { return x == c; });
  }
  bool eat_one_of(std::string_view set) {
    return eat_if([set](char x) { return set.find(x) != std::string_view::npos; });
  }
  bool eat_word(std::string_view word) {
    if (!rest().starts_with(word)) return false;
    pos_ += word.size();
    return true;
  }
  template <typename Pred>
  bool eat_if(Pred pred) {
    if (at_end() || !pred(text_[pos_])) return false;
    ++pos_;
    return true;
  }
  /// Consumes the longest run of matching characters and returns it.
  template <typename Pred>
  std::string_view eat_while(Pred pred) {
    const size_t start = pos_;
    while (!at_end() && pred(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// --- Forms of plain scalars ------------------------------------------------

bool is_null_form(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

bool is_bool_form(std::string_view text) {
  static constexpr std::array<std::string_view, 18> kWords = {
      "yes",   "Yes",   "YES",   "no", "No", "NO", "true", "True", "TRUE",
      "false", "False", "FALSE", "on", "On", "ON", "off",  "Off",  "OFF"};
  return std::find(kWords.begin(), kWords.end(), text) != kWords.end();
}

// "[0-9][0-9_]*"
bool eat_decimal_run(Cursor& cursor) {
  if (!cursor.eat_if(is_decimal_digit)) return false;
  cursor.eat_while(is_digit_or_underscore);
  return true;
}

// "(:[0-5]?[0-9])+". Only ':', '.' or the end may follow a group, never a
// digit, so taking the whole digit run is the same as the pattern's choice.
bool eat_base60_groups(Cursor& cursor) {
  int groups = 0;
  while (cursor.eat(':')) {
    const std::string_view digits = cursor.eat_while(is_decimal_digit);
    if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] > '5'))
      return false;
    ++groups;
  }
  return groups > 0;
}

// "([eE][-+][0-9]+)?": the exponent needs its sign, so "1.0e5" is text.
bool eat_optional_exponent(Cursor& cursor) {
  if (!cursor.eat_one_of("eE")) return true;
  return cursor.eat_one_of("-+") && !cursor.eat_while(is_decimal_digit).empty();
}

bool is_int_form(std::string_view text) {
  Cursor cursor(text);
  cursor.eat_one_of("-+");
  if (cursor.eat_word("0b"))
    return !cursor.eat_while([](char c) { return is_binary_digit(c) || c == '_'; }).empty() &&
           cursor.at_end();
  if (cursor.eat_word("0x"))
    return !cursor.eat_while([](char c) { return is_hex_digit(c) || c == '_'; }).empty() &&
           cursor.at_end();
  if (cursor.eat('0')) {
    // "0" alone, or leading-zero octal.
    if (cursor.at_end()) return true;
    return !cursor.eat_while([](char c) { return is_octal_digit(c) || c == '_'; }).empty() &&
           cursor.at_end();
  }
  if (!cursor.eat_if(is_nonzero_digit)) return false;
  cursor.eat_while(is_digit_or_underscore);
  if (cursor.at_end()) return true;
  return eat_base60_groups(cursor) && cursor.at_end();  // 1:30 is 90
}

bool is_float_form(std::string_view text) {
  if (text == ".nan" || text == ".NaN" || text == ".NAN") return true;
  Cursor cursor(text);
  if (cursor.eat('.')) {
    // ".5" (no sign allowed here) or ".inf"
    if (cursor.rest() == "inf" || cursor.rest() == "Inf" || cursor.rest() == "INF") return true;
    return eat_decimal_run(cursor) && eat_optional_exponent(cursor) && cursor.at_end();
  }
  cursor.eat_one_of("-+");
  if (cursor.rest() == ".inf" || cursor.rest() == ".Inf" || cursor.rest() == ".INF") return true;
  if (!eat_decimal_run(cursor)) return false;  // "-.5" is text
  if (cursor.rest().starts_with(":")) {
    // Base 60 needs a dot to be a float: 1:30.5
    if (!eat_base60_groups(cursor) || !cursor.eat('.')) return false;
    cursor.eat_while(is_digit_or_underscore);
    return cursor.at_end();
  }
  if (!cursor.eat('.')) return false;  // "1e3" is text
  cursor.eat_while(is_digit_or_underscore);
  return eat_optional_exponent(cursor) && cursor.at_end();
}

// --- Timestamps --------------------------------------------------------------

struct Timestamp {
  int year = 0, month = 0, day = 0;
  bool short_date_fields = false;  // month or day written with one digit
  bool has_time = false;
  int hour = 0, minute = 0, second = 0;
  int zone_minutes = 0;  // absolute offset from UTC
};

// A run of `min_digits` to `max_digits` digits.
std::optional<std::string_view> eat_field(Cursor& cursor, size_t min_digits, size_t max_digits) {
  const std::string_view digits = cursor.eat_while(is_decimal_digit);
  if (digits.size() < min_digits || digits.size() > max_digits) return std::nullopt;
  return digits;
}

int to_int(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

std::optional<int> eat_number(Cursor& cursor, size_t min_digits, size_t max_digits) {
  const auto digits = eat_field(cursor, min_digits, max_digits);
  if (!digits) return std::nullopt;
  return to_int(*digits);
}

// "YYYY-M?M-D?D" optionally followed by "(T|t|blanks)H?H:MM:SS(.fraction)?"
// and a zone "(blanks)(Z|±H?H(:MM)?)". Only fields are read; ranges are
// checked by the caller.
std::optional<Timestamp> parse_timestamp(std::string_view text) {
  Cursor cursor(text);
  Timestamp stamp;
  const auto year = eat_number(cursor, 4, 4);
  if (!year || !cursor.eat('-')) return std::nullopt;
  const auto month = eat_field(cursor, 1, 2);
  if (!month || !cursor.eat('-')) return std::nullopt;
  const auto day = eat_field(cursor, 1, 2);
  if (!day) return std::nullopt;
  stamp.year = *year;
  stamp.month = to_int(*month);
  stamp.day = to_int(*day);
  stamp.short_date_fields = month->size() < 2 || day->size() < 2;
  if (cursor.at_end()) return stamp;

  if (!cursor.eat_one_of("Tt") && cursor.eat_while(is_blank).empty()) return std::nullopt;
  const auto hour = eat_number(cursor, 1, 2);
  if (!hour || !cursor.eat(':')) return std::nullopt;
  const auto minute = eat_number(cursor, 2, 2);
  if (!minute || !cursor.eat(':')) return std::nullopt;
  const auto second = eat_number(cursor, 2, 2);
  if (!second) return std::nullopt;
  stamp.has_time = true;
  stamp.hour = *hour;
  stamp.minute = *minute;
  stamp.second = *second;
  if (cursor.eat('.')) cursor.eat_while(is_decimal_digit);
  if (cursor.at_end()) return stamp;

  cursor.eat_while(is_blank);
  if (cursor.eat('Z')) return cursor.at_end() ? std::optional(stamp) : std::nullopt;
  if (!cursor.eat_one_of("-+")) return std::nullopt;
  const auto zone_hour = eat_number(cursor, 1, 2);
  if (!zone_hour) return std::nullopt;
  int zone_minute = 0;
  if (cursor.eat(':')) {
    const auto parsed = eat_number(cursor, 2, 2);
    if (!parsed) return std::nullopt;
    zone_minute = *parsed;
  }
  stamp.zone_minutes = *zone_hour * 60 + zone_minute;
  return cursor.at_end() ? std::optional(stamp) : std::nullopt;
}

bool is_timestamp_form(std::string_view text) {
  const auto stamp = parse_timestamp(text);
  // A bare date needs two-digit month and day; with a time either is fine.
  return stamp && (stamp->has_time || !stamp->short_date_fields);
}

int days_in_month(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Dates run from year 1 to 9999; a second of 60 and zones of a day or more
// are rejected, as the calendar types of the common loaders reject them.
void check_timestamp(std::string_view text) {
  const auto stamp = parse_timestamp(text);
  if (!stamp) reject("timestamp", text);
  const bool date_ok = stamp->year >= 1 && stamp->month >= 1 && stamp->month <= 12 &&
                       stamp->day >= 1 && stamp->day <= days_in_month(stamp->year, stamp->month);
  const bool time_ok = stamp->hour <= 23 && stamp->minute <= 59 && stamp->second <= 59 &&
                       stamp->zone_minutes < 24 * 60;
  if (!date_ok || !time_ok) reject("timestamp", text);
}

// --- Values ------------------------------------------------------------------

bool construct_bool(std::string_view text) {
  const std::string word = ascii_lower(text);
  if (word == "yes" || word == "true" || word == "on") return true;
  if (word == "no" || word == "false" || word == "off") return false;
  reject("boolean", text);
}

bool all_zeros(std::string_view digits) {
  return digits.find_first_not_of('0') == std::string_view::npos;
}

// Digits of one base; throws when there are none or a stray character.
template <typename Pred>
std::string_view require_digits(std::string_view digits, Pred pred, std::string_view text) {
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), pred)) reject("integer", text);
  return digits;
}

bool integer_is_zero(std::string_view text) {
  const std::string value = without_underscores(text);
  std::string_view digits = value;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
  if (digits.empty()) reject("integer", text);
  if (digits.starts_with("0b"))
    return all_zeros(require_digits(digits.substr(2), is_binary_digit, text));
  if (digits.starts_with("0x"))
    return all_zeros(require_digits(digits.substr(2), is_hex_digit, text));
  if (digits[0] == '0') return all_zeros(require_digits(digits, is_octal_digit, text));
  bool zero = true;
  size_t start = 0;
  while (true) {  // base-60 groups, or one decimal number
    const size_t colon = digits.find(':', start);
    zero = all_zeros(require_digits(digits.substr(start, colon - start), is_decimal_digit, text)) &&
           zero;
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return zero;
}

// Reads a decimal floating-point number ("1.", ".5", "2e3", "inf", "nan"),
// independently of the process locale.
double parse_decimal(std::string_view text, std::string_view whole) {
  const size_t first = text.find_first_not_of(" \t\n\r\f\v");
  const size_t last = text.find_last_not_of(" \t\n\r\f\v");
  if (first == std::string_view::npos) reject("float", whole);
  const std::string number(text.substr(first, last - first + 1));

  Cursor cursor(number);
  cursor.eat_one_of("-+");
  const std::string_view body = cursor.rest();
  const bool special = body == "inf" || body == "infinity" || body == "nan";
  if (!special) {
    const bool whole_digits = !cursor.eat_while(is_decimal_digit).empty();
    const bool fraction_digits = cursor.eat('.') && !cursor.eat_while(is_decimal_digit).empty();
    if (!whole_digits && !fraction_digits) reject("float", whole);
    if (cursor.eat_one_of("eE")) {
      cursor.eat_one_of("-+");
      if (cursor.eat_while(is_decimal_digit).empty()) reject("float", whole);
    }
    if (!cursor.at_end()) reject("float", whole);
  }
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return strtod_l(number.c_str(), nullptr, c_locale);  // underflow gives 0, as it should
}

bool float_is_zero(std::string_view text) {
  const std::string value = ascii_lower(without_underscores(text));
  std::string_view number = value;
  if (number.empty()) reject("float", text);
  if (number[0] == '-' || number[0] == '+') number.remove_prefix(1);
  if (number == ".inf" || number == ".nan") return false;
  if (number.find(':') == std::string_view::npos) return parse_decimal(number, text) == 0.0;

  // Base 60: the last group counts ones, the one before sixties, and so on;
  // an empty group (":0", "1::2") is no number.
  const std::vector<std::string_view> groups = split(number, ':');
  double total = 0.0;
  double base = 1.0;
  for (auto group = groups.rbegin(); group != groups.rend(); ++group, base *= 60.0)
    total += parse_decimal(*group, text) * base;
  return total == 0.0;
}

// Base64 as the lenient decoders read it: characters outside the alphabet
// are skipped, padding ends the data, a lone trailing character or missing
// padding is an error. Returns the number of decoded bytes.
size_t decoded_binary_size(std::string_view text) {
  auto in_alphabet = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_decimal_digit(c) || c == '+' ||
           c == '/';
  };
  size_t bytes = 0;
  int quad_position = 0;
  int pads = 0;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) reject("binary", text);
    if (c == '=') {
      if (quad_position >= 2 && quad_position + ++pads >= 4) return bytes;
      continue;
    }
    if (!in_alphabet(c)) continue;
    pads = 0;
    if (quad_position != 0) ++bytes;
    quad_position = (quad_position + 1) % 4;
  }
  if (quad_position != 0) reject("binary", text);
  return bytes;
}

}  // namespace

ScalarKind classify_plain_scalar(std::string_view text) {
  // The order matters only where forms could overlap; it follows the usual
  // resolver order: booleans, floats, integers, merge, null, timestamps.
  if (is_bool_form(text)) return ScalarKind::Boolean;
  if (is_float_form(text)) return ScalarKind::Float;
  if (is_int_form(text)) return ScalarKind::Integer;
  if (text == "<<") return ScalarKind::Merge;
  if (is_null_form(text)) return ScalarKind::Null;
  if (is_timestamp_form(text)) return ScalarKind::Timestamp;
  if (text == "=") return ScalarKind::Value;
  return ScalarKind::Text;
}

ResolvedScalar construct_scalar(ScalarKind kind, std::string_view text) {
  switch (kind) {
    case ScalarKind::Null:
      return {kind, false};
    case ScalarKind::Boolean:
      return {kind, construct_bool(text)};
    case ScalarKind::Integer:
      return {kind, !integer_is_zero(text)};
    case ScalarKind::Float:
      return {kind, !float_is_zero(text)};
    case ScalarKind::Timestamp:
      check_timestamp(text);
      return {kind, true};
    case ScalarKind::Binary:
      return {kind, decoded_binary_size(text) > 0};
    case ScalarKind::Text:
      return {kind, !text.empty()};
    case ScalarKind::Merge:
    case ScalarKind::Value:
      return {kind, true};
  }
  return {ScalarKind::Text, !text.empty()};
}

ResolvedScalar resolve_plain_scalar(std::string_view text) {
  return construct_scalar(classify_plain_scalar(text), text);
}

}  // namespace quillmere

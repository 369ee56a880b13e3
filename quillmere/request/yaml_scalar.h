// Typing YAML scalars by the YAML 1.1 rules of the standard schema, the way
// the common YAML 1.1 loaders do it.
#pragma once

#include <string_view>

namespace quillmere {

enum class ScalarKind {
  Null,
  Boolean,
  Integer,
  Float,
  Timestamp,  ///< a date, or a date with a time of day
  Binary,     ///< only through an explicit !!binary tag
  Text,
  Merge,  ///< "<<": meaningful only as a mapping key
  Value,  ///< "=": meaningful only as a mapping key, where it is the text "="
};

struct ResolvedScalar {
  ScalarKind kind = ScalarKind::Text;
  /// False for the values that count as absent: null, false, a zero number
  /// (0, -0, 0x0, 0.0, 0:00.0, ...), empty text and empty binary data.
  bool truthy = true;
};

/// The kind a plain (unquoted, untagged) scalar has by its form alone.
ScalarKind classify_plain_scalar(std::string_view text);

/// Builds a value of `kind` from the scalar's text, as an explicit tag (or the
/// plain form) asks. Throws std::invalid_argument when the text holds no valid
/// value of that kind: "abc" as an integer, "0b_", the date 2024-02-30.
ResolvedScalar construct_scalar(ScalarKind kind, std::string_view text);

/// Types a plain scalar: its kind by form, then its value. Throws like
/// construct_scalar for forms that promise a value the text cannot hold.
ResolvedScalar resolve_plain_scalar(std::string_view text);

}  // namespace quillmere

// Typing plain YAML scalars by the YAML 1.1 rules of the standard schema.
#pragma once

#include <string_view>

namespace quillmere {

enum class ScalarKind { Null, Boolean, Integer, Float, Timestamp, Text };

struct ResolvedScalar {
  ScalarKind kind = ScalarKind::Text;
  /// For booleans and numbers: whether the value is true / non-zero.
  bool truthy = true;
};

/// Types a plain (unquoted, untagged) scalar as written in the file.
ResolvedScalar resolve_plain_scalar(std::string_view text);

}  // namespace quillmere

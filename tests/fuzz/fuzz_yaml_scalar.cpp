// Any bytes as a YAML scalar, typed by form and built as each kind. Rejecting
// the text with std::invalid_argument is an answer; any other exception, a
// crash or undefined behaviour is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "quillmere/request/yaml_scalar.h"

using quillmere::ScalarKind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ScalarKind kind = quillmere::classify_plain_scalar(text);
  try {
    if (quillmere::resolve_plain_scalar(text).kind != kind) std::abort();
  } catch (const std::invalid_argument&) {
  }
  for (ScalarKind each : {ScalarKind::Null, ScalarKind::Boolean, ScalarKind::Integer,
                          ScalarKind::Float, ScalarKind::Timestamp, ScalarKind::Binary,
                          ScalarKind::Text, ScalarKind::Merge, ScalarKind::Value}) {
    try {
      if (quillmere::construct_scalar(each, text).kind != each) std::abort();
    } catch (const std::invalid_argument&) {
    }
  }
  return 0;
}

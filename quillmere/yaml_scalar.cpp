#include "quillmere/yaml_scalar.h"

namespace quillmere {
ResolvedScalar resolve_plain_scalar(std::string_view) { return {}; }
}  // namespace quillmere

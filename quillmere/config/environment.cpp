#include "quillmere/config/environment.h"

#include <cstdlib>

namespace quillmere {

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

bool env_is_set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace quillmere

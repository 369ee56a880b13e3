// Reading the process environment. Only start-up and the settings read it:
// everything else gets its values from Settings.
#pragma once

#include <optional>
#include <string>

namespace quillmere {

/// The value of an environment variable, absent when unset.
std::optional<std::string> env_value(const char* name);

/// True when the variable is set to a non-empty value.
bool env_is_set(const char* name);

}  // namespace quillmere

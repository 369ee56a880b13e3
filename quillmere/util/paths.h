// Paths as text: joining, the last component, existence.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

/// Joins a directory and a name with exactly one "/" between them.
std::string join_path(std::string_view dir, std::string_view name);

/// The part of `path` after its last "/" (all of it when there is none).
std::string last_path_component(const std::string& path);

/// True when any file-system entry exists at `path` (symbolic links followed).
bool path_exists(const std::string& path);

/// The process's current directory; "." when it cannot be read.
std::string current_directory();

/// `path` against `base` when relative; empty for an empty path.
std::string resolve_against(const std::string& base, const std::string& path);

/// The canonical absolute form of an existing path (realpath); empty when it
/// cannot be resolved.
std::string canonical_path(const std::string& path);

}  // namespace quillmere

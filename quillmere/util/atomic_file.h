// Replacing a file so that a reader sees the old content or the new, never a
// half-written one.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

/// Writes `content` to a temporary file in the directory of `path`, flushes
/// it to disk and renames it over `path`. Throws OnboardingError with the
/// reason, leaving `path` as it was, when that cannot be done.
void write_file_atomically(const std::string& path, std::string_view content);

}  // namespace quillmere

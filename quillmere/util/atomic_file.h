// Replacing a file so that a reader sees the old content or the new, never a
// half-written one.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

/// Writes `content` to a temporary file in the directory of `path`
/// (".quillmere-XXXXXXXX.tmp", the same for the same name, so one left by a
/// killed process is taken over by the next), flushes it to disk and renames
/// it over `path`. Throws OnboardingError with the reason, leaving `path` as
/// it was, when that cannot be done.
void write_file_atomically(const std::string& path, std::string_view content);

/// Writes all of `content` to `fd`, going on after interrupted writes.
/// Throws OnboardingError("FAILURE: reason") when a write fails.
void write_all(int fd, std::string_view content, const std::string& failure);

/// The temporary file write_file_atomically() uses for `path`.
std::string temporary_path_for(const std::string& path);

}  // namespace quillmere

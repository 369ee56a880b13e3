// Whether a settings file comes from the operator. A file anyone else could
// have written (another user, a group, a merge into a repository the file
// lies in) would let them point the token at their own proxy or server, so
// such a file is not read at all.
#pragma once

#include <optional>
#include <string>

namespace quillmere {

/// A settings file opened for reading, or the reason it may not be read.
struct SettingsFileText {
  std::string path;  ///< as found or as named on the command line
  std::optional<std::string> text;
  std::optional<std::string> refusal;  ///< "it is tracked by git", ...
};

/// Reads `path` when it is a regular file owned by root or by the user the
/// process runs as, writable by nobody else (no group or other write bit; a
/// symbolic link, too, owned by one of them), and not tracked by git in the
/// repository it lies in. Otherwise `refusal` says why and nothing is read.
/// What is checked is the file that is read: one descriptor for both.
SettingsFileText read_settings_file(const std::string& path);

/// Why git knows `path` as a file of the repository it lies in, or nullopt
/// when it does not (no repository above it, or none that git will inspect).
/// git runs only when a ".git" lies in the file's directory or above it.
std::optional<std::string> tracked_by_git(const std::string& path);

}  // namespace quillmere

// The settings file that tops up the process environment at start-up: the
// .env found in the start directory or above, or the file --env-file names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

/// Parses the text of a .env file into (name, value) pairs in file order.
std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text);

/// The settings file a run was started with.
struct LoadedSettingsFile {
  std::string path;                    ///< empty when no .env was found
  std::optional<std::string> refusal;  ///< why it was not read (see settings_file.h)
};

/// Loads `env_file` when given, else the first regular file named ".env"
/// found in `start_dir` or one of its parents, when the operator wrote it
/// (read_settings_file); a refused file is not read at all. Variables
/// already set in the environment keep their values. A missing .env is not
/// an error; a missing `env_file` is refused like any other.
LoadedSettingsFile load_settings_file(const std::string& start_dir,
                                      const std::optional<std::string>& env_file);

/// The WARNING for a refused file: "⚠️ Not reading settings from PATH: REASON".
std::string settings_file_warning(const LoadedSettingsFile& file);

}  // namespace quillmere

// The run's configuration: environment variables, optionally preloaded from a
// .env file, read once at start-up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/text.h"

namespace quillmere {

/// The configuration values of one run. Text fields are absent when their
/// variable is unset and hold the variable's text unchanged otherwise.
struct Settings {
  std::optional<std::string> repo_path;
  std::optional<std::string> yaml_dir;
  std::optional<std::string> gitlab_url;
  std::optional<std::string> project_id;
  std::optional<std::string> gitlab_token;
  std::optional<std::string> jira_base_url;
  std::optional<std::string> git_committer_email;
  std::optional<std::string> git_committer_name;
  std::optional<std::string> teams_webhook_url;
  std::vector<std::string> reviewer_usernames;

  /// REPO_PATH and YAML_DIR resolved once against the start directory, so a
  /// relative value keeps naming the same directory after the run has moved
  /// into the working copy. Empty when the variable is absent or empty.
  std::string repo_dir;
  std::string request_dir;
};

/// Loads the first regular file named ".env" found in `start_dir` or one of
/// its parents. Variables already set in the environment keep their values.
/// A missing file is not an error.
void load_dotenv(const std::string& start_dir);

/// Parses the text of a .env file into (name, value) pairs in file order.
std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text);

/// Reads the settings from the process environment; `start_dir` is the
/// directory relative paths are resolved against.
Settings read_settings(const std::string& start_dir);

/// Splits a comma-separated list of user names: pieces trimmed, empty pieces
/// dropped, order and duplicates kept.
std::vector<std::string> split_reviewer_usernames(std::string_view text);

/// The value of an environment variable, absent when unset.
std::optional<std::string> env_value(const char* name);

/// True when the variable is set to a non-empty value.
bool env_is_set(const char* name);

/// Joins a directory and a name with exactly one "/" between them.
std::string join_path(std::string_view dir, std::string_view name);

/// The part of `path` after its last "/" (all of it when there is none).
std::string last_path_component(const std::string& path);

/// True when any file-system entry exists at `path`.
bool path_exists(const std::string& path);

}  // namespace quillmere

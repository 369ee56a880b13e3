// The run's configuration, read once from the environment at start-up (after
// .env has topped it up) and checked as it is read. Everything the program
// needs from its environment, its children's environment included, reaches
// it through these values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmere/util/command_runner.h"
#include "quillmere/util/logging.h"

namespace quillmere {

/// TEAMS_CARD_FORMAT: which form of card the webhook gets.
enum class TeamsCardFormat {
  Auto,         ///< an Adaptive Card for a Workflows webhook, a MessageCard otherwise
  Adaptive,     ///< always the Adaptive Card
  MessageCard,  ///< always the MessageCard
};

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
  /// TEAMS_CARD_FORMAT: auto, adaptive or messagecard, in any letter case.
  TeamsCardFormat teams_card_format = TeamsCardFormat::Auto;
  std::vector<std::string> reviewer_usernames;
  /// DONE_DIR: where request files go once onboarded; absent or empty
  /// leaves them in the request directory.
  std::optional<std::string> done_dir;
  /// Every child's environment (the process's own without GITLAB_TOKEN and
  /// TEAMS_WEBHOOK_URL, with GIT_TERMINAL_PROMPT=0 unless set) and its
  /// deadline, GIT_TIMEOUT: whole seconds from 1, 600 unless set.
  ChildSetup children;
  /// TMPDIR: where the run's own temporary files go; /tmp unless set.
  std::string temp_dir = "/tmp";

  /// REPO_PATH and YAML_DIR resolved once against the start directory, so a
  /// relative value keeps naming the same directory after the run has moved
  /// into the working copy. Empty when the variable is absent or empty.
  std::string repo_dir;
  std::string request_dir;
  std::string done_dir_path;  ///< DONE_DIR resolved the same way

  /// REPORT_FILE and METRICS_FILE: where the end of a run leaves its JSON
  /// report and its metrics (Prometheus text format); absent or empty writes
  /// none. The paths are resolved against the start directory.
  std::optional<std::string> report_file;
  std::optional<std::string> metrics_file;
  std::string report_file_path;
  std::string metrics_file_path;
  /// TEAMS_NOTIFY_FAILURES: one more card after a batch with failed files, or
  /// after a fatal error.
  bool teams_notify_failures = false;
  /// FAILED_FILES_EXIT_STATUS: the exit status of a batch that completed with
  /// at least one failed file.
  int failed_files_exit_status = 0;
  /// LOG_LEVEL: the threshold of both log outputs.
  LogLevel log_level = LogLevel::Info;
  /// JOURNAL_STREAM: "DEVICE:INODE" of the journal stream systemd connected
  /// to standard error, when it did.
  std::optional<std::string> journal_stream;
  /// One message per setting above whose value cannot be read ("LOG_LEVEL
  /// must be ...: VALUE"), in the order of the settings table; the start-up
  /// check refuses the run with the first. The setting then keeps its default.
  std::vector<std::string> invalid_values;
  /// The required settings whose variable is absent or empty, in the order of
  /// the settings table (GITLAB_TOKEN among them).
  std::vector<std::string> missing_required;

  /// The CA bundles named by CURL_CA_BUNDLE and SSL_CERT_FILE, without
  /// repeats; empty means the system's own.
  std::vector<std::string> ca_bundles;
  /// Each of those variables that is set, with its value, for checks that
  /// name the variable.
  std::vector<std::pair<std::string, std::string>> ca_variables;
};

/// Reads every setting from the process environment through one table (its
/// variable, its field, its parser, its default): a variable that is unset,
/// or blank where the setting has a default, takes the default; a value its
/// parser refuses is noted in `invalid_values`. `start_dir` is the directory
/// relative paths are resolved against.
Settings read_settings(const std::string& start_dir);

/// The names of the URL settings that send to another machine over plain
/// http, where what is sent can be read on the way.
std::vector<std::string> clear_text_url_settings(const Settings& settings);

/// Splits a comma-separated list of user names: pieces trimmed, empty pieces
/// dropped, order and duplicates kept.
std::vector<std::string> split_reviewer_usernames(std::string_view text);

/// True when an optional setting is absent or empty text.
inline bool is_missing(const std::optional<std::string>& value) { return !value || value->empty(); }

}  // namespace quillmere

#include "quillmere/config/settings.h"

#include <algorithm>

#include "quillmere/config/environment.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// Both variables count: a machine-wide CURL_CA_BUNDLE must not hide the CA
// an operator names in SSL_CERT_FILE for a self-hosted GitLab, nor the
// other way round.
std::vector<std::pair<std::string, std::string>> ca_variables_from_environment() {
  std::vector<std::pair<std::string, std::string>> variables;
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
    if (env_is_set(name)) variables.emplace_back(name, *env_value(name));
  return variables;
}

std::vector<std::string> distinct_paths(
    const std::vector<std::pair<std::string, std::string>>& variables) {
  std::vector<std::string> bundles;
  for (const auto& [name, path] : variables)
    if (std::find(bundles.begin(), bundles.end(), path) == bundles.end()) bundles.push_back(path);
  return bundles;
}

// The host of an "http://" URL; empty for any other scheme.
std::string plain_http_host(const std::string& url) {
  constexpr std::string_view kScheme = "http://";
  if (!ascii_lower(url).starts_with(kScheme)) return {};
  std::string_view rest = std::string_view(url).substr(kScheme.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.starts_with('[')) return std::string(rest.substr(1, rest.find(']') - 1));
  return ascii_lower(rest.substr(0, rest.find(':')));
}

bool is_loopback_host(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// The optional settings with a fixed set of values: unset or empty keeps the
// default; anything unreadable is noted, with the value, for the
// configuration check to refuse.
class ValueReader {
 public:
  explicit ValueReader(std::vector<std::string>& invalid) : invalid_(invalid) {}

  void read_flag(const char* name, bool& flag) {
    const std::string value = value_of(name);
    if (value.empty()) return;
    const std::string word = ascii_lower(value);
    if (word == "true" || word == "1" || word == "yes")
      flag = true;
    else if (word == "false" || word == "0" || word == "no")
      flag = false;
    else
      refuse(name, "true or false (also 1 or 0, yes or no)");
  }

  void read_exit_status(const char* name, int& status) {
    const std::string value = value_of(name);
    if (value.empty()) return;
    const bool digits = value.size() <= 3 && std::all_of(value.begin(), value.end(), [](char c) {
                          return c >= '0' && c <= '9';
                        });
    if (digits && std::stoi(value) <= 125)
      status = std::stoi(value);
    else
      refuse(name, "an integer from 0 to 125");
  }

  void read_log_level(const char* name, LogLevel& level) {
    const std::string value = value_of(name);
    if (value.empty()) return;
    for (LogLevel candidate : {LogLevel::Debug, LogLevel::Info, LogLevel::Warning, LogLevel::Error})
      if (ascii_upper(value) == log_level_name(candidate)) {
        level = candidate;
        return;
      }
    refuse(name, "DEBUG, INFO, WARNING or ERROR");
  }

 private:
  std::string value_of(const char* name) {
    current_ = env_value(name).value_or("");
    return trim(current_);
  }
  void refuse(const char* name, const char* expected) {
    invalid_.push_back(std::string(name) + " must be " + expected + ": " + printable(current_));
  }

  std::vector<std::string>& invalid_;
  std::string current_;
};

}  // namespace

std::vector<std::string> clear_text_url_settings(const Settings& settings) {
  std::vector<std::string> names;
  const std::pair<const char*, const std::optional<std::string>*> urls[] = {
      {"GITLAB_URL", &settings.gitlab_url}, {"TEAMS_WEBHOOK_URL", &settings.teams_webhook_url}};
  for (const auto& [name, value] : urls) {
    if (!*value) continue;
    const std::string host = plain_http_host(**value);
    if (!host.empty() && !is_loopback_host(host)) names.emplace_back(name);
  }
  return names;
}

std::vector<std::string> split_reviewer_usernames(std::string_view text) {
  std::vector<std::string> names;
  for (std::string_view piece : split(text, ',')) {
    std::string name = trim(piece);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

long long command_timeout_seconds(const Settings& settings) {
  constexpr long long kLargest = 1000LL * 1000 * 1000;  // about 31 years
  // Trimmed like every setting with a fixed form; blanks alone mean unset.
  const std::string text = trim(settings.git_timeout.value_or(""));
  if (text.empty()) return kDefaultCommandTimeoutSeconds;
  long long seconds = 0;
  bool whole = text.size() <= 10;
  for (char c : text) {
    whole = whole && c >= '0' && c <= '9';
    if (whole) seconds = seconds * 10 + (c - '0');
  }
  if (!whole || seconds < 1 || seconds > kLargest)
    throw OnboardingError("GIT_TIMEOUT must be a whole number of seconds from 1: " +
                          printable(*settings.git_timeout));
  return seconds;
}

Settings read_settings(const std::string& start_dir) {
  Settings settings;
  settings.repo_path = env_value("REPO_PATH");
  settings.yaml_dir = env_value("YAML_DIR");
  settings.gitlab_url = env_value("GITLAB_URL");
  settings.project_id = env_value("PROJECT_ID");
  settings.gitlab_token = env_value("GITLAB_TOKEN");
  settings.jira_base_url = env_value("JIRA_BASE_URL");
  settings.git_committer_email = env_value("GIT_COMMITTER_EMAIL");
  settings.git_committer_name = env_value("GIT_COMMITTER_NAME");
  settings.teams_webhook_url = env_value("TEAMS_WEBHOOK_URL");
  settings.teams_card_format = env_value("TEAMS_CARD_FORMAT");
  settings.reviewer_usernames =
      split_reviewer_usernames(env_value("REVIEWER_USERNAMES").value_or(""));
  settings.done_dir = env_value("DONE_DIR");
  settings.git_timeout = env_value("GIT_TIMEOUT");
  settings.repo_dir = resolve_against(start_dir, settings.repo_path.value_or(""));
  settings.request_dir = resolve_against(start_dir, settings.yaml_dir.value_or(""));
  settings.done_dir_path = resolve_against(start_dir, settings.done_dir.value_or(""));
  settings.ca_variables = ca_variables_from_environment();
  settings.ca_bundles = distinct_paths(settings.ca_variables);

  settings.report_file = env_value("REPORT_FILE");
  settings.metrics_file = env_value("METRICS_FILE");
  settings.report_file_path = resolve_against(start_dir, settings.report_file.value_or(""));
  settings.metrics_file_path = resolve_against(start_dir, settings.metrics_file.value_or(""));
  settings.journal_stream = env_value("JOURNAL_STREAM");
  ValueReader values(settings.invalid_values);
  values.read_flag("TEAMS_NOTIFY_FAILURES", settings.teams_notify_failures);
  values.read_exit_status("FAILED_FILES_EXIT_STATUS", settings.failed_files_exit_status);
  values.read_log_level("LOG_LEVEL", settings.log_level);
  return settings;
}

}  // namespace quillmere

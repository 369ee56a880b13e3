#include "quillmere/config/settings.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

extern char** environ;

namespace quillmere {

namespace {

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

// --- Parsers: the text of a set variable to the setting's value, or nullopt
// when the text is not one of the setting's values. -----------------------

std::optional<bool> parse_flag(std::string_view text) {
  const std::string word = ascii_lower(trim(text));
  if (word == "true" || word == "1" || word == "yes") return true;
  if (word == "false" || word == "0" || word == "no") return false;
  return std::nullopt;
}

// Digits only, at most `digits` of them, from `low` to `high`.
std::optional<long long> whole_number(std::string_view text, size_t digits, long long low,
                                      long long high) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<int> parse_exit_status(std::string_view text) {
  const std::optional<long long> status = whole_number(trim(text), 3, 0, 125);
  return status ? std::optional<int>(static_cast<int>(*status)) : std::nullopt;
}

std::optional<LogLevel> parse_log_level(std::string_view text) {
  for (LogLevel level : {LogLevel::Debug, LogLevel::Info, LogLevel::Warning, LogLevel::Error})
    if (ascii_upper(trim(text)) == log_level_name(level)) return level;
  return std::nullopt;
}

std::optional<LogFormat> parse_log_format(std::string_view text) {
  const std::string value = ascii_lower(trim(text));
  if (value == "text") return LogFormat::Text;
  if (value == "json") return LogFormat::Json;
  return std::nullopt;
}

// Like every setting with a fixed form, read without surrounding blanks.
std::optional<long long> parse_seconds(std::string_view text) {
  return whole_number(trim(text), 10, 1, 1000LL * 1000 * 1000);  // up to about 31 years
}

std::optional<TeamsCardFormat> parse_card_format(std::string_view text) {
  const std::string value = ascii_lower(trim(text));
  if (value == "auto") return TeamsCardFormat::Auto;
  if (value == "adaptive") return TeamsCardFormat::Adaptive;
  if (value == "messagecard") return TeamsCardFormat::MessageCard;
  return std::nullopt;
}

std::optional<OriginSync> parse_origin_sync(std::string_view text) {
  for (OriginSync sync : {OriginSync::PerFile, OriginSync::PerRun})
    if (ascii_lower(trim(text)) == origin_sync_name(sync)) return sync;
  return std::nullopt;
}

std::optional<std::vector<std::string>> parse_list(std::string_view text) {
  return split_reviewer_usernames(text);
}

std::optional<std::string> parse_text(std::string_view text) { return std::string(text); }

// --- The table --------------------------------------------------------------

// One setting: its variable, and how a value (the variable's text, or the
// default's when it is unset or blank) reaches its field. `store` returns
// false when the parser refuses the text.
struct SettingRow {
  const char* name;
  const char* default_text;  ///< nullptr: an unset variable leaves the field absent
  const char* expected;      ///< "NAME must be EXPECTED: VALUE" when refused
  std::function<bool(Settings&, std::string_view text, const std::string& start_dir)> store;
  bool required = false;  ///< absent or empty refuses the run
};

// A setting whose field (a member, or a function giving it) takes the
// parser's value.
template <typename T, typename Field>
SettingRow row(const char* name, Field field, std::optional<T> (*parse)(std::string_view),
               const char* default_text = nullptr, const char* expected = nullptr) {
  return {name, default_text, expected,
          [field, parse](Settings& settings, std::string_view text, const std::string&) {
            std::optional<T> value = parse(text);
            if (value) std::invoke(field, settings) = std::move(*value);
            return value.has_value();
          }};
}

SettingRow required(SettingRow setting) {
  setting.required = true;
  return setting;
}

// A path: the text kept as it is, and resolved once against the start
// directory, so a relative value keeps naming the same entry after the run
// has moved into the working copy.
SettingRow path_row(const char* name, std::optional<std::string> Settings::*text,
                    std::string Settings::*resolved) {
  return {
      name, nullptr, nullptr,
      [text, resolved](Settings& settings, std::string_view value, const std::string& start_dir) {
        settings.*text = std::string(value);
        settings.*resolved = resolve_against(start_dir, std::string(value));
        return true;
      }};
}

// A CA file: both variables count, so a machine-wide CURL_CA_BUNDLE cannot
// hide the CA an operator names in SSL_CERT_FILE for a self-hosted GitLab,
// nor the other way round; a bundle named twice is read once.
SettingRow ca_row(const char* name) {
  return {name, nullptr, nullptr,
          [name](Settings& settings, std::string_view path, const std::string&) {
            if (path.empty()) return true;
            settings.ca_variables.emplace_back(name, path);
            auto& bundles = settings.ca_bundles;
            if (std::find(bundles.begin(), bundles.end(), path) == bundles.end())
              bundles.emplace_back(path);
            return true;
          }};
}

const std::vector<SettingRow>& settings_table() {
  static const std::vector<SettingRow> table = {
      required(path_row("REPO_PATH", &Settings::repo_path, &Settings::repo_dir)),
      required(path_row("YAML_DIR", &Settings::yaml_dir, &Settings::request_dir)),
      required(row("GITLAB_URL", &Settings::gitlab_url, parse_text)),
      required(row("PROJECT_ID", &Settings::project_id, parse_text)),
      required(row("GITLAB_TOKEN", &Settings::gitlab_token, parse_text)),
      row("JIRA_BASE_URL", &Settings::jira_base_url, parse_text),
      required(row("GIT_COMMITTER_EMAIL", &Settings::git_committer_email, parse_text)),
      row("GIT_COMMITTER_NAME", &Settings::git_committer_name, parse_text),
      row("TEAMS_WEBHOOK_URL", &Settings::teams_webhook_url, parse_text),
      row("REVIEWER_USERNAMES", &Settings::reviewer_usernames, parse_list, ""),
      path_row("DONE_DIR", &Settings::done_dir, &Settings::done_dir_path),
      path_row("REPORT_FILE", &Settings::report_file, &Settings::report_file_path),
      path_row("METRICS_FILE", &Settings::metrics_file, &Settings::metrics_file_path),
      row("JOURNAL_STREAM", &Settings::journal_stream, parse_text),
      ca_row("CURL_CA_BUNDLE"),
      ca_row("SSL_CERT_FILE"),
      row("TMPDIR", &Settings::temp_dir, parse_text, "/tmp"),
      row("TEAMS_NOTIFY_FAILURES", &Settings::teams_notify_failures, parse_flag, "false",
          "true or false (also 1 or 0, yes or no)"),
      row("FAILED_FILES_EXIT_STATUS", &Settings::failed_files_exit_status, parse_exit_status, "0",
          "an integer from 0 to 125"),
      row("LOG_LEVEL", &Settings::log_level, parse_log_level, "INFO",
          "DEBUG, INFO, WARNING or ERROR"),
      row("LOG_FORMAT", &Settings::log_format, parse_log_format, "text", "text or json"),
      row("TEAMS_CARD_FORMAT", &Settings::teams_card_format, parse_card_format, "auto",
          "auto, adaptive or messagecard"),
      row(
          "GIT_TIMEOUT", [](Settings & s) -> auto& { return s.children.timeout_seconds; },
          parse_seconds, "600", "a whole number of seconds from 1"),
      row("ORIGIN_SYNC", &Settings::origin_sync, parse_origin_sync, "per-file",
          "per-file or per-run"),
  };
  return table;
}

}  // namespace

std::vector<std::string> child_environment() {
  std::vector<std::string> entries;
  bool prompt_set = false;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("GITLAB_TOKEN=") || text.starts_with("TEAMS_WEBHOOK_URL=")) continue;
    prompt_set = prompt_set || text.starts_with("GIT_TERMINAL_PROMPT=");
    entries.emplace_back(text);
  }
  if (!prompt_set) entries.emplace_back("GIT_TERMINAL_PROMPT=0");
  return entries;
}

const char* origin_sync_name(OriginSync sync) {
  return sync == OriginSync::PerRun ? "per-run" : "per-file";
}

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

Settings read_settings(const std::string& start_dir) {
  Settings settings;
  for (const SettingRow& setting : settings_table()) {
    const char* value = std::getenv(setting.name);
    if (setting.required && (!value || !*value))
      settings.missing_required.emplace_back(setting.name);
    const bool blank = !value || (setting.default_text && trim(value).empty());
    if (blank && !setting.default_text) continue;
    const std::string_view text = blank ? setting.default_text : value;
    if (!setting.store(settings, text, start_dir))
      settings.invalid_values.push_back(std::string(setting.name) + " must be " + setting.expected +
                                        ": " + printable(text));
  }
  settings.children.environment = child_environment();
  return settings;
}

}  // namespace quillmere

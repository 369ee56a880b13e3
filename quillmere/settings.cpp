#include "quillmere/settings.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace quillmere {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool is_regular_file(const std::string& path) {
  struct stat entry {};
  return ::stat(path.c_str(), &entry) == 0 && S_ISREG(entry.st_mode);
}

std::string parent_directory(const std::string& dir) {
  const auto slash = dir.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return dir.substr(0, slash);
}

// A value in matching quotes loses them and is taken literally; an unquoted
// value ends at a " #" comment and is trimmed.
std::string unquote(std::string_view raw) {
  std::string value = trim(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
    const auto closing = value.find(value.front(), 1);
    if (closing != std::string::npos) return value.substr(1, closing - 1);
  }
  for (size_t i = 1; i < value.size(); ++i)
    if (value[i] == '#' && is_blank(value[i - 1]))
      return trim(std::string_view(value).substr(0, i));
  return value;
}

std::string resolve_against(const std::string& base, const std::optional<std::string>& path) {
  if (!path || path->empty()) return {};
  if (path->front() == '/') return *path;
  return join_path(base, *path);
}

}  // namespace

std::string join_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::string last_path_component(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool path_exists(const std::string& path) {
  struct stat entry {};
  return ::stat(path.c_str(), &entry) == 0;
}

std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> assignments;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string content = trim(line);
    if (content.empty() || content.front() == '#') continue;
    if (content.rfind("export", 0) == 0 && content.size() > 6 && is_blank(content[6]))
      content = trim(std::string_view(content).substr(7));
    const auto equals = content.find('=');
    if (equals == std::string::npos) continue;  // not an assignment
    std::string name = trim(std::string_view(content).substr(0, equals));
    if (name.empty()) continue;
    assignments.emplace_back(std::move(name),
                             unquote(std::string_view(content).substr(equals + 1)));
  }
  return assignments;
}

void load_dotenv(const std::string& start_dir) {
  std::string dir = start_dir.empty() ? "/" : start_dir;
  for (;;) {
    const std::string candidate = join_path(dir, ".env");
    if (is_regular_file(candidate)) {
      std::ifstream file(candidate, std::ios::binary);
      std::stringstream text;
      text << file.rdbuf();
      // Within the file a later line wins, as in a shell; the environment
      // the tool was started with wins over the file.
      std::map<std::string, std::string> assignments;
      for (auto& [name, value] : parse_dotenv(text.str())) assignments[name] = std::move(value);
      for (const auto& [name, value] : assignments)
        ::setenv(name.c_str(), value.c_str(), /*overwrite=*/0);
      return;
    }
    if (dir == "/") return;
    dir = parent_directory(dir);
  }
}

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

bool env_is_set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
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
  settings.repo_path = env_value("REPO_PATH");
  settings.yaml_dir = env_value("YAML_DIR");
  settings.gitlab_url = env_value("GITLAB_URL");
  settings.project_id = env_value("PROJECT_ID");
  settings.gitlab_token = env_value("GITLAB_TOKEN");
  settings.jira_base_url = env_value("JIRA_BASE_URL");
  settings.git_committer_email = env_value("GIT_COMMITTER_EMAIL");
  settings.git_committer_name = env_value("GIT_COMMITTER_NAME");
  settings.teams_webhook_url = env_value("TEAMS_WEBHOOK_URL");
  settings.reviewer_usernames =
      split_reviewer_usernames(env_value("REVIEWER_USERNAMES").value_or(""));
  settings.repo_dir = resolve_against(start_dir, settings.repo_path);
  settings.request_dir = resolve_against(start_dir, settings.yaml_dir);
  return settings;
}

}  // namespace quillmere

#include "quillmere/settings.h"

#include <algorithm>

#include "quillmere/environment.h"
#include "quillmere/paths.h"
#include "quillmere/text.h"

namespace quillmere {

namespace {

// Both variables count: a machine-wide CURL_CA_BUNDLE must not hide the CA
// an operator names in SSL_CERT_FILE for a self-hosted GitLab, nor the
// other way round.
std::vector<std::string> ca_bundles_from_environment() {
  std::vector<std::string> bundles;
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    if (!env_is_set(name)) continue;
    std::string path = *env_value(name);
    if (std::find(bundles.begin(), bundles.end(), path) == bundles.end())
      bundles.push_back(std::move(path));
  }
  return bundles;
}

}  // namespace

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
  settings.repo_dir = resolve_against(start_dir, settings.repo_path.value_or(""));
  settings.request_dir = resolve_against(start_dir, settings.yaml_dir.value_or(""));
  settings.ca_bundles = ca_bundles_from_environment();
  return settings;
}

}  // namespace quillmere

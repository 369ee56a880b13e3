#include "quillmere/driver.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "quillmere/git_workspace.h"
#include "quillmere/logging.h"
#include "quillmere/request_file.h"
#include "quillmere/teams_notifier.h"
#include "quillmere/types.h"

namespace quillmere {

namespace {

bool is_missing(const std::optional<std::string>& value) { return !value || value->empty(); }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Names ending in ".yaml", in the order the directory yields them.
std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as) {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
  if (!listing)
    throw OnboardingError("Cannot list YAML_DIR " + shown_as + ": " + std::strerror(errno));
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name.ends_with(".yaml")) names.push_back(name);
    errno = 0;
  }
  if (errno != 0)
    throw OnboardingError("Cannot list YAML_DIR " + shown_as + ": " + std::strerror(errno));
  return names;
}

}  // namespace

void validate_config(const Settings& settings) {
  const std::pair<const char*, const std::optional<std::string>*> required_vars[] = {
      {"REPO_PATH", &settings.repo_path},
      {"YAML_DIR", &settings.yaml_dir},
      {"GITLAB_URL", &settings.gitlab_url},
      {"PROJECT_ID", &settings.project_id},
      {"GITLAB_TOKEN", &settings.gitlab_token},
      {"GIT_COMMITTER_EMAIL", &settings.git_committer_email},
  };
  std::string missing;
  for (const auto& [name, value] : required_vars) {
    if (!is_missing(*value)) continue;
    if (!missing.empty()) missing += ", ";
    missing += name;
  }
  if (!missing.empty()) throw OnboardingError("Missing required env vars: " + missing);

  if (!path_exists(settings.repo_dir))
    throw OnboardingError("REPO_PATH does not exist: " + *settings.repo_path);
  if (!path_exists(settings.request_dir))
    throw OnboardingError("YAML_DIR does not exist: " + *settings.yaml_dir);

  Logger& log = logger();
  log.info("✅ Configuration validation passed");
  log.info("REPO_PATH: " + *settings.repo_path);
  log.info("YAML_DIR: " + *settings.yaml_dir);
  log.info("GITLAB_URL: " + *settings.gitlab_url);
}

void process_single_file(const Settings& settings, RemoteContext& remote, const std::string& file) {
  logger().info("\n📄 Processing: " + file);
  const std::string full_path = join_path(settings.request_dir, file);

  const OnboardingRequest request = parse_file(full_path);
  const std::string& env = request.environment;
  const std::string branch_name = env + "-" + request.ticket + "-" + request.project_name;

  create_branch_and_commit(settings, full_path, branch_name, env, request.project_name);
  const nlohmann::json mr_data = remote.retry.call(create_merge_request, remote, branch_name, env,
                                                   request.ticket, request.project_name);
  send_mr_notification_to_teams(remote.http, mr_data, request.ticket, env, branch_name, env,
                                request.project_name);
}

void process_yaml_files(const Settings& settings, RemoteContext& remote) {
  if (is_missing(settings.gitlab_token)) throw OnboardingError("❌ GITLAB_TOKEN not set");
  validate_config(settings);
  validate_git_repo(*settings.repo_path, settings.repo_dir);

  const std::vector<std::string> files =
      list_request_files(settings.request_dir, *settings.yaml_dir);
  Logger& log = logger();
  if (files.empty()) {
    log.warning("⚠️ No YAML files found");
    return;
  }
  log.info("Found " + std::to_string(files.size()) + " YAML file(s) to process");

  int success_count = 0;
  int failure_count = 0;
  for (const std::string& file : files) {
    // One file's failure, whatever its kind, is reported and the batch goes on.
    try {
      process_single_file(settings, remote, file);
      ++success_count;
    } catch (const std::exception& failure) {
      log.error("❌ Failed to process " + file + ": " + failure.what());
      ++failure_count;
    } catch (...) {
      log.error("❌ Failed to process " + file + ": ");
      ++failure_count;
    }
  }

  const std::string rule(50, '=');
  log.info("\n" + rule);
  log.info("Processing complete: " + std::to_string(success_count) + " succeeded, " +
           std::to_string(failure_count) + " failed");
  log.info(rule);
}

}  // namespace quillmere

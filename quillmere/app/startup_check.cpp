#include "quillmere/app/startup_check.h"

#include "quillmere/app/done_dir.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/remote/ca_bundle.h"
#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// Request files are written into the root of the working copy and committed:
// a request directory that is the working copy itself, or its git
// directory, would have the tool publish its own repository's files.
void refuse_request_dir_in_repository(const Settings& settings) {
  const std::string request_dir = canonical_path(settings.request_dir);
  const std::string repo_dir = canonical_path(settings.repo_dir);
  if (request_dir.empty() || repo_dir.empty()) return;
  if (request_dir == repo_dir)
    throw OnboardingError("YAML_DIR must not be the working copy itself: " + *settings.yaml_dir);
  const std::string git_dir = canonical_path(find_git_dir(settings.repo_dir));
  if (!git_dir.empty() && (request_dir == git_dir || request_dir.starts_with(git_dir + "/")))
    throw OnboardingError("YAML_DIR must not lie inside the working copy's git directory: " +
                          *settings.yaml_dir);
}

}  // namespace

void check_startup(const Settings& settings) {
  if (is_missing(settings.gitlab_token)) throw OnboardingError("❌ GITLAB_TOKEN not set");
  if (!settings.invalid_values.empty()) throw OnboardingError(settings.invalid_values.front());
  if (!settings.missing_required.empty())
    throw OnboardingError("Missing required env vars: " + join(settings.missing_required, ", "));
  if (!path_exists(settings.repo_dir))
    throw OnboardingError("REPO_PATH does not exist: " + *settings.repo_path);
  if (!path_exists(settings.request_dir))
    throw OnboardingError("YAML_DIR does not exist: " + *settings.yaml_dir);
  for (const auto& [variable, path] : settings.ca_variables) read_ca_bundle(variable, path);
  refuse_request_dir_in_repository(settings);
  validate_done_dir(settings);
}

}  // namespace quillmere

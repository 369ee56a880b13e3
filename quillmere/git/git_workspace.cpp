#include "quillmere/git/git_workspace.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// The unmerged states of the porcelain format, in the order they are tested.
constexpr std::array<std::string_view, 7> kConflictCodes = {"UU", "AA", "DD", "AU",
                                                            "UA", "DU", "UD"};

void change_directory(const std::string& dir, const std::string& shown_as) {
  if (dir.empty()) throw OnboardingError("Cannot change into REPO_PATH: it is not set");
  if (::chdir(dir.c_str()) != 0)
    throw OnboardingError("Cannot change into REPO_PATH " + shown_as + ": " + std::strerror(errno));
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

bool has_merge_conflicts(std::string_view porcelain_status) {
  for (std::string_view line : split(porcelain_status, '\n')) {
    const std::string_view code = line.substr(0, 2);
    for (std::string_view conflict : kConflictCodes)
      if (code == conflict) return true;
  }
  return false;
}

namespace {

// A failing status query counts as a status without conflicts, but a git that
// cannot be started at all would fail every file: the run stops here instead.
void refuse_git_that_cannot_start(const CommandResult& status) {
  if (!status.start_error.empty()) throw OnboardingError("Cannot start git: " + status.start_error);
}

}  // namespace

RunLock validate_git_repo(const ChildSetup& children, const std::string& repo_path_as_given,
                          const std::string& repo_dir) {
  if (repo_dir.empty() || !path_exists(join_path(repo_dir, ".git")))
    throw OnboardingError(repo_path_as_given + " is not a git repository");
  change_directory(repo_dir, repo_path_as_given);
  const std::string git_dir = find_git_dir(repo_dir);
  if (git_dir.empty()) throw OnboardingError(repo_path_as_given + " is not a git repository");
  RunLock lock(git_dir, repo_path_as_given);
  // Under the lock no other run of ours is at work: a git lock now is a leftover.
  check_git_directory_usable(git_dir, repo_path_as_given);

  // Started directly: a failing status query counts as a status without conflicts.
  const CommandResult status = run_program(git({"status", "--porcelain"}), children);
  refuse_git_that_cannot_start(status);
  if (has_merge_conflicts(status.out))
    throw OnboardingError("Repository has merge conflicts that need manual resolution");
  logger().info("✅ Git repository validation passed");
  return lock;
}

WorkingCopyState inspect_working_copy(const ChildSetup& children,
                                      const std::string& repo_path_as_given,
                                      const std::string& repo_dir) {
  if (repo_dir.empty() || !path_exists(join_path(repo_dir, ".git")) ||
      find_git_dir(repo_dir).empty())
    throw OnboardingError(repo_path_as_given + " is not a git repository");
  change_directory(repo_dir, repo_path_as_given);
  check_run_lock_available(find_git_dir(repo_dir));
  check_git_directory_usable(find_git_dir(repo_dir), repo_path_as_given);
  const CommandResult status =
      run_program(git({"--no-optional-locks", "status", "--porcelain"}), children);
  refuse_git_that_cannot_start(status);
  if (has_merge_conflicts(status.out))
    throw OnboardingError("Repository has merge conflicts that need manual resolution");
  WorkingCopyState state;
  state.current_branch = trim(run_program(git({"branch", "--show-current"}), children).out);
  for (std::string_view line : split(status.out, '\n')) state.changed_entries += !line.empty();
  return state;
}

std::string origin_url(const Settings& settings) {
  const std::string& repo_dir = settings.repo_dir;
  if (repo_dir.empty() || find_git_dir(repo_dir).empty()) return {};
  CommandLine config("git", {"-C"});
  config.arg(repo_dir).arg("config").arg("--get").arg("remote.origin.url");
  const CommandResult result = run_program(config, settings.children);
  if (!result.succeeded()) return {};
  return without_url_credentials(trim(result.out));
}

void enter_working_copy(const Settings& settings) {
  change_directory(settings.repo_dir, settings.repo_path.value_or(settings.repo_dir));
}

void configure_git_identity(const Settings& settings) {
  const std::optional<std::string>& email = settings.git_committer_email;
  const std::optional<std::string>& name = settings.git_committer_name;
  if (!email || email->empty()) throw OnboardingError("❌ GIT_COMMITTER_EMAIL not set in .env");

  run_command(git({"config", "user.email"}).quoted_arg(*email), settings.children);
  if (name && !name->empty())
    run_command(git({"config", "user.name"}).quoted_arg(*name), settings.children);
  // Without a name the repository keeps the one it has; the line says so.
  const std::string shown_name = name ? *name : "(name unchanged)";
  logger().info("🔧 Git identity set → " + shown_name + " <" + *email + ">");
}

void cleanup_repo_state(const ChildSetup& children) {
  // Deliberately destructive: changes to tracked files are thrown away, so
  // every branch starts from the committed state. Untracked files stay.
  const std::string status = run_command(git({"status", "--porcelain"}), children, true);
  // Conflicted entries are part of a non-empty status, so one test covers both.
  if (!status.empty()) {
    logger().warning("Dirty/conflicted index detected — resetting...");
    run_command(git({"reset", "HEAD"}), children, false);
    run_command(git({"checkout", "--", "."}), children, false);
  }

  const std::string stashes = run_command(git({"stash", "list"}), children, true);
  if (!stashes.empty()) {
    logger().info("🗑️ Dropping leftover stash: " + printable(excerpt(first_line(stashes))));
    run_command(git({"stash", "drop"}), children, false);
  }
}

void fetch_origin(const ChildSetup& children, OriginSync sync) {
  CommandLine command =
      sync == OriginSync::PerRun
          ? git({"fetch", "--prune", "origin", "+refs/heads/*:refs/remotes/origin/*"})
          : git({"fetch", "origin"});
  // Ended at once by a stop request: the run then starts no file anyway.
  command.read_only();
  const CommandResult fetch = run_program(command, children);
  if (fetch.succeeded()) return;
  const std::string reason = printable(trim(failure_reason(fetch, children)));
  if (sync == OriginSync::PerRun)
    throw OnboardingError("Could not fetch origin: " + reason +
                          " (ORIGIN_SYNC=per-run works from the run's fetch)");
  logger().warning("⚠️ Could not fetch origin: " + reason +
                   "; requests are compared with origin as last fetched");
}

}  // namespace quillmere

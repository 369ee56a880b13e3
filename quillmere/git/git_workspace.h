// The git working copy: validation, identity, clean-up and what the run
// learns from origin once. Branch names and the plan are in branch_plan.h,
// the branch-and-commit workflow in branch_workflow.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quillmere/config/settings.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"

namespace quillmere {

/// The command line "git WORDS".
inline CommandLine git(std::initializer_list<std::string_view> words) {
  return CommandLine("git", words);
}

/// True when a porcelain status holds an unmerged entry (UU, AA, DD, AU, UA,
/// DU, UD in the two status columns).
bool has_merge_conflicts(std::string_view porcelain_status);

/// Checks that `repo_dir` holds a ".git" entry, makes it the current
/// directory, takes the run lock (before any git command) and refuses a
/// working copy with merge conflicts. Messages show `repo_path_as_given`.
/// The lock is held for as long as the returned object lives.
RunLock validate_git_repo(const ChildSetup& children, const std::string& repo_path_as_given,
                          const std::string& repo_dir);

/// Makes the working copy (settings.repo_dir) the current directory; fails
/// with "Cannot change into REPO_PATH ..." naming REPO_PATH as given.
void enter_working_copy(const Settings& settings);

/// Writes the committer e-mail (and the name, when set) into the working copy.
void configure_git_identity(const Settings& settings);

/// Resets tracked changes and drops the newest leftover stash.
void cleanup_repo_state(const ChildSetup& children);

/// The working copy as the dry run sees it.
struct WorkingCopyState {
  std::string current_branch;  ///< empty on a detached HEAD
  size_t changed_entries = 0;  ///< lines of "git status --porcelain"
};

/// validate_git_repo without the lock and without anything git might write
/// (not even the index's stat cache): refuses what it refuses (a lock that
/// could not be taken included, though it is not taken), makes
/// `repo_dir` the current directory and describes the working copy.
WorkingCopyState inspect_working_copy(const ChildSetup& children,
                                      const std::string& repo_path_as_given,
                                      const std::string& repo_dir);

/// origin's URL as the working copy (settings.repo_dir) has it configured,
/// without the user information of a URL (a token may stand there); empty
/// when there is none or it cannot be read.
std::string origin_url(const Settings& settings);

/// "git fetch origin": origin's branches as they are now, once per run. A
/// failure is the WARNING "⚠️ Could not fetch origin: REASON; requests are
/// compared with origin as last fetched", and the run goes on.
/// With PerRun the run works from this fetch alone: it is
/// "git fetch --prune origin +refs/heads/*:refs/remotes/origin/*", so that
/// refs/remotes/origin/* are exactly origin's branches whatever the remote's
/// configuration fetches, and a failure is fatal: OnboardingError "Could not
/// fetch origin: REASON (ORIGIN_SYNC=per-run works from the run's fetch)".
void fetch_origin(const ChildSetup& children, OriginSync sync);

}  // namespace quillmere

// The git working copy: validation, identity, clean-up, branch checks and the
// branch-and-commit workflow for one request file.
#pragma once

#include <string>
#include <string_view>

#include "quillmere/git_directory.h"
#include "quillmere/settings.h"
#include "quillmere/types.h"

namespace quillmere {

/// True when a porcelain status holds an unmerged entry (UU, AA, DD, AU, UA,
/// DU, UD in the two status columns).
bool has_merge_conflicts(std::string_view porcelain_status);

/// Checks that `repo_dir` holds a ".git" entry, makes it the current
/// directory, takes the run lock (before any git command) and refuses a
/// working copy with merge conflicts. Messages show `repo_path_as_given`.
/// The lock is held for as long as the returned object lives.
RunLock validate_git_repo(const std::string& repo_path_as_given, const std::string& repo_dir);

/// Writes the committer e-mail (and the name, when set) into the working copy.
void configure_git_identity(const Settings& settings);

/// Resets tracked changes and drops the newest leftover stash.
void cleanup_repo_state();

/// Throws OnboardingError "Invalid branch name: NAME (reason)" when git would
/// refuse `branch_name` (the rules of "git check-ref-format --branch") or read
/// it as a pattern or an option; "@" and "HEAD" are refused as well.
void validate_branch_name(const std::string& branch_name);

/// True when `branch_name` exists locally or, as exactly refs/heads/NAME, on
/// origin. The name is validated first.
bool check_branch_exists(const std::string& branch_name);

/// What create_branch_and_commit did.
enum class BranchOutcome {
  Pushed,   ///< a new branch, committed and pushed
  TakenUp,  ///< this request's own branch from an earlier run, now on origin
};

/// Puts the request file on a new branch of the working copy and pushes it.
/// `content` is the file's bytes as read and parsed: exactly these are
/// committed. Works in `settings.repo_dir`; both branch names are validated,
/// and the target must be a branch of the working copy or of origin, before
/// any git command. A branch of that name that holds nothing but this tool's
/// commit of this very request is taken up (pushed when it is only local);
/// any other existing branch is refused.
BranchOutcome create_branch_and_commit(const Settings& settings, const std::string& file_path,
                                       const std::string& content, const std::string& branch_name,
                                       const std::string& target_branch,
                                       const std::string& project_name);

}  // namespace quillmere

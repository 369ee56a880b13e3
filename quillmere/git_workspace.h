// The git working copy: validation, identity, clean-up, branch checks and the
// branch-and-commit workflow for one request file.
#pragma once

#include <cstddef>
#include <optional>
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

/// The working copy as the dry run sees it.
struct WorkingCopyState {
  std::string current_branch;  ///< empty on a detached HEAD
  size_t changed_entries = 0;  ///< lines of "git status --porcelain"
};

/// validate_git_repo without the lock and without anything git might write
/// (not even the index's stat cache): refuses what it refuses (a lock that
/// could not be taken included, though it is not taken), makes
/// `repo_dir` the current directory and describes the working copy.
WorkingCopyState inspect_working_copy(const std::string& repo_path_as_given,
                                      const std::string& repo_dir);

/// What a run would find for one request's branch, learnt with read-only
/// git commands (nothing is fetched). Run in the working copy.
struct BranchInspection {
  bool exists_here = false;       ///< the branch is a local branch
  bool exists_on_origin = false;  ///< origin has refs/heads/BRANCH
  /// For an existing branch: true when it holds this request from an
  /// earlier run and would be taken up; nullopt when that cannot be told
  /// without fetching it from origin.
  std::optional<bool> is_own_leftover;
  bool target_known = false;      ///< the target is a branch here or a remote-tracking one
  bool target_on_origin = false;  ///< origin has refs/heads/TARGET
};

/// Inspects `branch_name` and `target_branch` (both validated first: throws
/// OnboardingError for a name git would refuse) for the request file named
/// `filename` with `content`.
BranchInspection inspect_branch(const std::string& repo_dir, const std::string& branch_name,
                                const std::string& target_branch, const std::string& filename,
                                const std::string& content);

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

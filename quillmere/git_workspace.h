// The git working copy: validation, identity, clean-up, branch checks and the
// branch-and-commit workflow for one request file.
#pragma once

#include <string>
#include <string_view>

#include "quillmere/settings.h"

namespace quillmere {

/// True when a porcelain status holds an unmerged entry (UU, AA, DD, AU, UA,
/// DU, UD in the two status columns).
bool has_merge_conflicts(std::string_view porcelain_status);

/// Checks that `repo_dir` holds a ".git" entry, makes it the current
/// directory and refuses a working copy with merge conflicts. Messages show
/// `repo_path_as_given`.
void validate_git_repo(const std::string& repo_path_as_given, const std::string& repo_dir);

/// Writes GIT_COMMITTER_EMAIL / GIT_COMMITTER_NAME into the working copy.
void configure_git_identity();

/// Resets tracked changes and drops the newest leftover stash.
void cleanup_repo_state();

/// Throws OnboardingError "Invalid branch name: NAME (reason)" when git would
/// refuse `branch_name` (the rules of "git check-ref-format --branch") or read
/// it as a pattern or an option; "@" and "HEAD" are refused as well.
void validate_branch_name(const std::string& branch_name);

/// True when `branch_name` exists locally or, as exactly refs/heads/NAME, on
/// origin. The name is validated first.
bool check_branch_exists(const std::string& branch_name);

/// Puts the request file on a new branch of the working copy and pushes it.
/// Works in `settings.repo_dir`; both branch names are validated right after
/// the "Working on branch" line, before any git command.
void create_branch_and_commit(const Settings& settings, const std::string& file_path,
                              const std::string& branch_name, const std::string& target_branch,
                              const std::string& project_name);

}  // namespace quillmere

// The working copy's git directory, read directly: where it is, which refs it
// holds, and the run lock kept in it. No git command is needed for these.
#pragma once

#include <string>

#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"

namespace quillmere {

/// The git directory of the working copy at `repo_dir`: "REPO/.git", or
/// where a ".git" file ("gitdir: PATH", as in linked work trees) points.
/// Empty when there is none.
std::string find_git_dir(const std::string& repo_dir);

/// True when the repository holds the ref `ref_name` ("refs/heads/dev"), as
/// a loose ref or in packed-refs. `git_dir` is a working copy's git directory;
/// refs shared by linked work trees are looked up in the common directory.
bool has_ref(const std::string& git_dir, const std::string& ref_name);

/// Refuses a git directory that fails every file until a person repairs it:
/// a leftover index.lock (an interrupted git command; git refuses to touch
/// the index while it exists) or a HEAD that cannot be read. The message
/// names the working copy as `repo_shown`, the file, and what to do.
void check_git_directory_usable(const std::string& git_dir, const std::string& repo_shown);

/// The refusal of a run because another run holds the lock: no run of its
/// own, so it leaves no report, no metrics and no failure card.
class RunLockedError : public OnboardingError {
 public:
  using OnboardingError::OnboardingError;
};

/// Throws the OnboardingError RunLock would throw when its lock file in
/// `git_dir` cannot be opened (a git directory that is not writable, a lock
/// path that is not a file), without creating, opening for long or locking it.
void check_run_lock_available(const std::string& git_dir);

/// The exclusive lock of one run on one working copy, held for the life of
/// the object (and so of the process). The lock file holds the holder's PID.
class RunLock {
 public:
  /// Takes the lock in `git_dir` without waiting. Throws RunLockedError
  /// naming `repo_shown` and the PID of the run that holds it.
  RunLock(const std::string& git_dir, const std::string& repo_shown);

 private:
  FileDescriptor file_;
};

}  // namespace quillmere

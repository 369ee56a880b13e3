#include "quillmere/git/git_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

constexpr const char* kLockFile = "quillmere.lock";

bool is_directory(const std::string& path) {
  struct stat entry {};
  return ::stat(path.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode);
}

std::string first_line_of(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return trim(line);
}

// Where the refs of all work trees of the repository live.
std::string common_dir(const std::string& git_dir) {
  const std::string common = first_line_of(join_path(git_dir, "commondir"));
  if (common.empty()) return git_dir;
  return resolve_against(git_dir, common);
}

bool in_packed_refs(const std::string& dir, const std::string& ref_name) {
  std::ifstream packed(join_path(dir, "packed-refs"));
  std::string line;
  while (std::getline(packed, line)) {
    // "<object id> <ref name>"; comments and peeled lines ("^...") skipped.
    const size_t blank = line.find(' ');
    if (line.empty() || line[0] == '#' || line[0] == '^' || blank == std::string::npos) continue;
    if (std::string_view(line).substr(blank + 1) == ref_name) return true;
  }
  return false;
}

// "ref: refs/heads/dev" or a commit id, as git writes HEAD.
bool is_head_text(const std::string& line) {
  if (line.starts_with("ref: refs/")) return true;
  return (line.size() == 40 || line.size() == 64) &&
         line.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

void check_git_directory_usable(const std::string& git_dir, const std::string& repo_shown) {
  const std::string index_lock = join_path(git_dir, "index.lock");
  struct stat entry {};
  if (::lstat(index_lock.c_str(), &entry) == 0)
    throw OnboardingError("Working copy " + repo_shown + " holds a leftover " + index_lock +
                          " from an interrupted git command: once no git command is running "
                          "in it, remove that file and run again");
  const std::string head = join_path(git_dir, "HEAD");
  std::ifstream file(head);
  std::string line;
  std::string reason;
  if (!file)
    reason = std::strerror(errno);
  else if (!std::getline(file, line) || !is_head_text(trim(line)))
    reason = "it holds neither a branch nor a commit";
  if (!reason.empty())
    throw OnboardingError("Working copy " + repo_shown + " has no readable HEAD (" + head + ": " +
                          reason + "): write it anew (echo 'ref: refs/heads/BRANCH' > " + head +
                          ") or clone the working copy again");
}

std::string find_git_dir(const std::string& repo_dir) {
  const std::string dot_git = join_path(repo_dir, ".git");
  if (is_directory(dot_git)) return dot_git;
  const std::string line = first_line_of(dot_git);
  constexpr std::string_view kPrefix = "gitdir:";
  if (!line.starts_with(kPrefix)) return {};
  const std::string target = trim(std::string_view(line).substr(kPrefix.size()));
  return target.empty() ? std::string() : resolve_against(repo_dir, target);
}

bool has_ref(const std::string& git_dir, const std::string& ref_name) {
  const std::string common = common_dir(git_dir);
  struct stat entry {};
  if (::stat(join_path(common, ref_name).c_str(), &entry) == 0 && S_ISREG(entry.st_mode))
    return true;
  return in_packed_refs(common, ref_name);
}

void check_run_lock_available(const std::string& git_dir) {
  const std::string path = join_path(git_dir, kLockFile);
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) {
    // A run would create it: that needs a git directory it may write to.
    if (errno == ENOENT && ::faccessat(AT_FDCWD, git_dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
      throw OnboardingError("Cannot open the run lock " + path + ": " + std::strerror(errno));
    return;
  }
  // Opened as a run opens it, but not created and not locked; a FIFO does
  // not hold the check.
  const FileDescriptor probe(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!probe.is_open())
    throw OnboardingError("Cannot open the run lock " + path + ": " + std::strerror(errno));
}

RunLock::RunLock(const std::string& git_dir, const std::string& repo_shown) {
  const std::string path = join_path(git_dir, kLockFile);
  // Close-on-exec: a git child that outlives the run must not keep the lock.
  file_ = FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file_.is_open())
    throw OnboardingError("Cannot open the run lock " + path + ": " + std::strerror(errno));
  if (::flock(file_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK)
      throw OnboardingError("Cannot lock " + path + ": " + std::strerror(errno));
    std::string holder = first_line_of(path);
    if (holder.empty()) holder = "unknown";
    throw RunLockedError("Working copy " + repo_shown +
                         " is locked by another quillmere run (PID " + printable(holder) + ")");
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(file_.get(), 0) == 0) {
    // Only informative, for the refusal of a second run; the lock is the flock.
    [[maybe_unused]] const ssize_t written = ::pwrite(file_.get(), pid.data(), pid.size(), 0);
  }
}

}  // namespace quillmere

#include "quillmere/app/done_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "quillmere/git/git_directory.h"
#include "quillmere/request/request_file.h"
#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// Distinct names tried before giving up: enough for any real collision,
// and a bound on the loop.
constexpr int kMaxNameAttempts = 1000;

// The canonical form of a path that may not exist yet: its longest existing
// ancestor resolved, the rest appended with "." and ".." applied.
std::string canonical_path_allowing_missing(const std::string& path) {
  std::string existing = path;
  std::vector<std::string> missing;
  std::string resolved;
  while ((resolved = canonical_path(existing)).empty()) {
    const size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos) return {};
    missing.push_back(existing.substr(slash + 1));
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
    if (name->empty() || *name == ".") continue;
    if (*name == "..") {
      const size_t slash = resolved.find_last_of('/');
      resolved = slash == 0 ? "/" : resolved.substr(0, slash);
      continue;
    }
    resolved = join_path(resolved, *name);
  }
  return resolved;
}

bool is_same_or_inside(const std::string& path, const std::string& dir) {
  return path == dir || path.starts_with(dir == "/" ? dir : dir + "/");
}

// "NAME.yaml" for the first attempt, then "NAME-2.yaml", "NAME-3.yaml", ...
std::string candidate_name(const std::string& name, int attempt) {
  if (attempt == 1) return name;
  const size_t dot = name.find_last_of('.');
  const size_t stem_end = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return name.substr(0, stem_end) + "-" + std::to_string(attempt) + name.substr(stem_end);
}

[[noreturn]] void fail_move(const std::string& source_path, const std::string& why) {
  throw OnboardingError("Cannot move " + printable(last_path_component(source_path)) +
                        " to DONE_DIR: " + why);
}

void write_all(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw OnboardingError(std::strerror(errno));
    written += static_cast<size_t>(n);
  }
}

void sync_directory(const std::string& dir) {
  const FileDescriptor handle(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!handle.is_open() || ::fsync(handle.get()) != 0)
    throw OnboardingError(std::string("cannot flush ") + printable(dir) + ": " +
                          std::strerror(errno));
}

// Across file systems: a copy under a fresh name, on disk before the
// original goes. Returns the name taken; "" when every name is taken.
std::string copy_then_remove(const std::string& source_path, const std::string& done_dir,
                             const std::string& name) {
  // Read as a request file is: never through a link, never more than the limit.
  const std::string bytes = read_request_file(source_path);

  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    const std::string taken = candidate_name(name, attempt);
    const std::string target_path = join_path(done_dir, taken);
    const FileDescriptor target(
        ::open(target_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!target.is_open() && errno == EEXIST) continue;
    if (!target.is_open()) fail_move(source_path, std::strerror(errno));
    try {
      write_all(target.get(), bytes);
      if (::fsync(target.get()) != 0) throw OnboardingError(std::strerror(errno));
      sync_directory(done_dir);
    } catch (const OnboardingError& failure) {
      ::unlink(target_path.c_str());
      fail_move(source_path, failure.what());
    }
    if (::unlink(source_path.c_str()) != 0)
      fail_move(source_path, std::string("copied as ") + printable(taken) +
                                 " but the original cannot be removed: " + std::strerror(errno));
    return taken;
  }
  return {};
}

}  // namespace

void validate_done_dir(const Settings& settings) {
  if (settings.done_dir_path.empty()) return;
  const std::string done_dir = canonical_path_allowing_missing(settings.done_dir_path);
  const std::string repo_dir = canonical_path(settings.repo_dir);
  if (done_dir.empty()) return;
  if (done_dir == canonical_path(settings.request_dir))
    throw OnboardingError("DONE_DIR must not be YAML_DIR itself: " + *settings.done_dir);
  if (!repo_dir.empty() && is_same_or_inside(done_dir, repo_dir))
    throw OnboardingError("DONE_DIR must not lie inside the working copy: " + *settings.done_dir);
  const std::string git_dir = canonical_path(find_git_dir(settings.repo_dir));
  if (!git_dir.empty() && is_same_or_inside(done_dir, git_dir))
    throw OnboardingError("DONE_DIR must not lie inside the working copy's git directory: " +
                          *settings.done_dir);
}

void prepare_done_dir(const Settings& settings) {
  const std::string& dir = settings.done_dir_path;
  if (dir.empty()) return;
  // Each missing ancestor in turn, from the top, as "mkdir -p" does.
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
      throw OnboardingError("Cannot create DONE_DIR " + *settings.done_dir + ": " +
                            std::strerror(errno));
    if (slash == std::string::npos) break;
  }
  struct stat entry {};
  if (::stat(dir.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode))
    throw OnboardingError("DONE_DIR is not a directory: " + *settings.done_dir);
}

std::string move_to_done_dir(const std::string& source_path, const std::string& done_dir) {
  const std::string name = last_path_component(source_path);
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    const std::string taken = candidate_name(name, attempt);
    const std::string target_path = join_path(done_dir, taken);
    // Never replaces: an existing name fails with EEXIST, atomically.
    if (::renameat2(AT_FDCWD, source_path.c_str(), AT_FDCWD, target_path.c_str(),
                    RENAME_NOREPLACE) == 0)
      return taken;
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
      // A file system without the no-replace rename: link and unlink give
      // the same guarantee, since link never replaces either.
      if (::link(source_path.c_str(), target_path.c_str()) == 0) {
        ::unlink(source_path.c_str());
        return taken;
      }
      error = errno;
    }
    if (error == EEXIST) continue;
    if (error == EXDEV || error == EPERM) {
      const std::string copied = copy_then_remove(source_path, done_dir, name);
      if (copied.empty()) break;
      return copied;
    }
    fail_move(source_path, std::strerror(error));
  }
  fail_move(source_path,
            "every name up to " + printable(candidate_name(name, kMaxNameAttempts)) + " is taken");
}

}  // namespace quillmere

#include "quillmere/util/scratch_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "quillmere/util/atomic_file.h"
#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"

namespace quillmere {

namespace {

constexpr std::string_view kPrefix = "quillmere-scratch-";

// A leftover must also be older than this: a directory just made by another
// process may not hold its lock yet.
constexpr std::time_t kLeftoverAgeSeconds = 60;

struct ScratchListingCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

[[noreturn]] void fail_with_errno(const std::string& what) {
  throw OnboardingError(what + ": " + std::strerror(errno));
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

// Directories of ours that no living process holds.
void remove_leftovers(const std::string& parent) {
  std::unique_ptr<DIR, ScratchListingCloser> listing(::opendir(parent.c_str()));
  if (!listing) return;
  const std::time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kPrefix) || name.size() != kPrefix.size() + 6) continue;
    const std::string path = join_path(parent, name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid() || now - status.st_mtime < kLeftoverAgeSeconds)
      continue;
    const FileDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.is_open() && ::flock(dir.get(), LOCK_EX | LOCK_NB) == 0) remove_tree(path);
  }
}

}  // namespace

void remove_tree(const std::string& path) {
  ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

ScratchDir::ScratchDir(const std::string& parent) {
  remove_leftovers(parent);
  std::string name = join_path(parent, std::string(kPrefix) + "XXXXXX");
  if (!::mkdtemp(name.data())) fail_with_errno("Cannot make a scratch directory in " + parent);
  path_ = name;
  lock_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!lock_.is_open() || ::flock(lock_.get(), LOCK_EX) != 0) {
    const int reason = errno;
    remove_tree(path_);
    errno = reason;
    fail_with_errno("Cannot lock the scratch directory " + path_);
  }
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

void ScratchDir::write(std::string_view name, std::string_view content) const {
  const std::string path = join_path(path_, name);
  if (const size_t slash = path.rfind('/'); slash > path_.size())
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
      fail_with_errno("Cannot make " + path.substr(0, slash));
  const FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.is_open()) fail_with_errno("Cannot create " + path);
  write_all(file.get(), content, "Cannot write " + path);
}

}  // namespace quillmere

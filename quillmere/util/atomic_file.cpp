#include "quillmere/util/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/paths.h"

namespace quillmere {

namespace {

// Attempts at a temporary file that another writer of the same file renamed
// away while this one waited for it.
constexpr int kTemporaryAttempts = 5;

[[noreturn]] void fail(const std::string& what) {
  throw OnboardingError(what + ": " + std::strerror(errno));
}

// ".quillmere-XXXXXXXX.tmp": short, whatever the length of the name it
// stands for, hidden from collectors that read "*.prom", and the same for
// the same file on every run, so that one left by a killed run is taken
// over (and so removed) by the next.
std::string temporary_name(const std::string& name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof text, ".quillmere-%08x.tmp", static_cast<unsigned>(hash));
  return text;
}

// The temporary file, opened and locked: a second writer of the same file
// waits, then finds the name renamed away or replaced and starts again.
FileDescriptor open_temporary(const std::string& path) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.is_open()) fail("cannot create " + path);
    if (::flock(file.get(), LOCK_EX) != 0) fail("cannot lock " + path);
    struct stat opened {
    }, named{};
    if (::fstat(file.get(), &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
      if (!S_ISREG(opened.st_mode) || ::ftruncate(file.get(), 0) != 0) fail("cannot use " + path);
      return file;
    }
  }
  errno = EBUSY;
  fail("cannot create " + path);
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void write_all(int fd, std::string_view content, const std::string& failure) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(failure);
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
}

std::string temporary_path_for(const std::string& path) {
  return join_path(directory_of(path), temporary_name(last_path_component(path)));
}

void write_file_atomically(const std::string& path, std::string_view content) {
  const std::string dir = directory_of(path);
  const std::string temporary = temporary_path_for(path);
  FileDescriptor file = open_temporary(temporary);
  try {
    write_all(file.get(), content, "cannot write " + temporary);
    if (::fsync(file.get()) != 0) fail("cannot flush " + temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace " + path);
  } catch (...) {
    // Still locked by us, so nobody else is using it.
    ::unlink(temporary.c_str());
    throw;
  }
  file.reset();  // the lock goes with it, after the rename
  // The rename itself reaches the disk with the directory.
  FileDescriptor directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.is_open()) ::fsync(directory.get());
}

}  // namespace quillmere

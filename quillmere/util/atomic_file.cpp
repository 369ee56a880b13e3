#include "quillmere/util/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/paths.h"

namespace quillmere {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw OnboardingError(what + ": " + std::strerror(errno));
}

void write_all(int fd, std::string_view content, const std::string& path) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write " + path);
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
}

// Removes the temporary file unless it was renamed into place.
struct TemporaryFile {
  std::string path;
  bool renamed = false;
  ~TemporaryFile() {
    if (!renamed) ::unlink(path.c_str());
  }
};

}  // namespace

void write_file_atomically(const std::string& path, std::string_view content) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  // A hidden name that no collector picks up ("*.prom"), unique to this process.
  TemporaryFile temporary{
      join_path(dir, "." + last_path_component(path) + ".tmp-" + std::to_string(::getpid()))};
  ::unlink(temporary.path.c_str());  // left by a process that once had our PID
  FileDescriptor file(
      ::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file.is_open()) fail("cannot create " + temporary.path);
  write_all(file.get(), content, temporary.path);
  if (::fsync(file.get()) != 0) fail("cannot flush " + temporary.path);
  file.reset();
  if (::rename(temporary.path.c_str(), path.c_str()) != 0) fail("cannot replace " + path);
  temporary.renamed = true;
  // The rename itself reaches the disk with the directory.
  FileDescriptor directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.is_open()) ::fsync(directory.get());
}

}  // namespace quillmere

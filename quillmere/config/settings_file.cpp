#include "quillmere/config/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quillmere/config/settings.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/paths.h"

namespace quillmere {

namespace {

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Root's files are the administrator's, the process user's are the
// operator's; anyone else's are neither.
std::optional<std::string> owner_refusal(const struct stat& entry, const char* what) {
  const uid_t self = ::geteuid();
  if (entry.st_uid == 0 || entry.st_uid == self) return std::nullopt;
  return std::string(what) + " is owned by uid " + std::to_string(entry.st_uid) +
         ", not by root or by the user quillmere runs as (uid " + std::to_string(self) + ")";
}

std::optional<std::string> content_refusal(const struct stat& entry) {
  if (!S_ISREG(entry.st_mode)) return std::string("it is not a regular file");
  if (auto refusal = owner_refusal(entry, "it")) return refusal;
  // A group or other write bit (with an ACL, its mask) lets someone else
  // change the settings.
  if ((entry.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(entry.st_mode & 07777));
    return std::string("it is writable by others than its owner (mode ") + mode + ")";
  }
  return std::nullopt;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

std::optional<std::string> tracked_by_git(const std::string& path) {
  const std::string dir = canonical_path(parent_of(path));
  if (dir.empty()) return std::nullopt;
  // Most settings files lie in no repository: no git process for them.
  std::string top = dir;
  struct stat entry {};
  while (::lstat(join_path(top, ".git").c_str(), &entry) != 0) {
    if (top == "/") return std::nullopt;
    top = parent_of(top);
  }
  // git itself refuses to inspect a repository of another user ("dubious
  // ownership"): such a repository cannot have checked out the operator's
  // own file, so only a clear "known to git" counts.
  CommandLine ls_files("git", {"--literal-pathspecs", "-C"});
  ls_files.arg(dir);
  ls_files.arg("ls-files").arg("--error-unmatch").arg("--").arg(last_path_component(path));
  // Before the settings are read: the environment as it stands, secrets left out.
  if (!run_program(ls_files, ChildSetup{child_environment()}).succeeded()) return std::nullopt;
  return "it is tracked by git in the repository " + top;
}

SettingsFileText read_settings_file(const std::string& path) {
  SettingsFileText file;
  file.path = path;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    if ((file.refusal = owner_refusal(link, "its symbolic link"))) return file;
  // Not blocking on a FIFO; what is checked below is what is read.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.is_open()) {
    file.refusal = std::string("it cannot be opened: ") + std::strerror(errno);
    return file;
  }
  struct stat entry {};
  if (::fstat(fd.get(), &entry) != 0) {
    file.refusal = std::string("it cannot be examined: ") + std::strerror(errno);
    return file;
  }
  if ((file.refusal = content_refusal(entry))) return file;
  if ((file.refusal = tracked_by_git(path))) return file;
  file.text = read_all(fd.get());
  return file;
}

}  // namespace quillmere

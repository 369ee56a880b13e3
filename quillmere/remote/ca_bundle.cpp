#include "quillmere/remote/ca_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

[[noreturn]] void refuse(std::string_view variable, const std::string& path) {
  throw OnboardingError(std::string(variable) +
                        " is not a readable certificate file: " + printable(path));
}

}  // namespace

std::string read_ca_bundle(std::string_view variable, const std::string& path) {
  // Non-blocking, so that a FIFO opens at once (and is then refused as not
  // a regular file) instead of waiting for a writer that never comes.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.is_open()) refuse(variable, path);
  struct stat entry {};
  if (::fstat(file.get(), &entry) != 0 || !S_ISREG(entry.st_mode) ||
      static_cast<unsigned long long>(entry.st_size) > kMaxCaBundleBytes)
    refuse(variable, path);

  std::string pem;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) refuse(variable, path);
    pem.append(buffer, static_cast<size_t>(n));
    // The file may grow while it is read; the limit holds for what is read.
    if (pem.size() > kMaxCaBundleBytes) refuse(variable, path);
  }
  if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) refuse(variable, path);
  return pem;
}

}  // namespace quillmere

#include "quillmere/util/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace quillmere {

std::string join_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::string last_path_component(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool path_exists(const std::string& path) {
  struct stat entry {};
  return ::stat(path.c_str(), &entry) == 0;
}

std::string current_directory() {
  std::string buffer(4096, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string resolve_against(const std::string& base, const std::string& path) {
  if (path.empty()) return {};
  if (path.front() == '/') return path;
  return join_path(base, path);
}

std::string canonical_path(const std::string& path) {
  struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
  };
  const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace quillmere

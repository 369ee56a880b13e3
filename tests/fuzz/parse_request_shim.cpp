// TEMPORARY, this branch only: parse_request over today's parse_file, so the
// request targets can be written against the coming interface. It writes the
// content to a scratch file called `file_name` and reads that back. Delete
// this file and parse_request_shim.h once request_file.h declares
// parse_request.
//
// A name that cannot be a file of its own (empty, ".", "..", holding "/" or a
// NUL, too long) is handed to parse_file under a directory that does not
// exist, so nothing outside the scratch directory is ever read; such a name
// must come with empty content, and parse_file sees only its part after the
// last "/".
#include "parse_request_shim.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "quillmere/request_file.h"
#include "quillmere/settings.h"

namespace quillmere {

namespace {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmere-fuzz-XXXXXX");
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool is_plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

OnboardingRequest parse_request(std::string_view file_name, std::string_view content) {
  static const ScratchDirectory scratch;
  if (!is_plain_file_name(file_name)) {
    if (!content.empty()) throw std::logic_error("the shim carries no content under this name");
    return parse_file(join_path(scratch.path(), "absent/") + std::string(file_name));
  }
  const std::string path = join_path(scratch.path(), file_name);
  struct RemovedAfterwards {
    const std::string& path;
    ~RemovedAfterwards() { std::remove(path.c_str()); }
  } removed{path};
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
  }
  return parse_file(path);
}

}  // namespace quillmere

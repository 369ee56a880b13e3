// A temporary directory removed with everything in it when the test ends.
#pragma once

#include <string>
#include <vector>

namespace quillmere::testing {

class TempDir {
 public:
  /// Made under `base`, or under TMPDIR (else /tmp) when `base` is empty.
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes `content` to `path`, creating or replacing the file.
void write_file(const std::string& path, const std::string& content);
/// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void make_dir(const std::string& path);
/// Splits text into lines without their line feeds.
std::vector<std::string> split_lines(const std::string& text);

}  // namespace quillmere::testing

#include "tests/support/temp_dir.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillmere::testing {

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
}  // namespace

TempDir::TempDir(const std::string& base) {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string parent = !base.empty() ? base : tmpdir && *tmpdir ? tmpdir : "/tmp";
  std::string pattern = parent + "/quillmere-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  // Resolve symlinks so paths compare equal with what git and getcwd report.
  char* real = ::realpath(pattern.c_str(), nullptr);
  path_ = real ? real : pattern;
  std::free(real);
}

TempDir::~TempDir() { ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

void write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("cannot write " + path);
  file << content;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool file_exists(const std::string& path) {
  struct stat entry {};
  return ::lstat(path.c_str(), &entry) == 0;
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0 && !file_exists(path))
    throw std::runtime_error("cannot create " + path);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

}  // namespace quillmere::testing

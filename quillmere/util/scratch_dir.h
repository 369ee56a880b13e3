// A private directory for files that live only as long as one step of the
// run, removed with its owner; one left by a killed process is removed by the
// next one that makes its own.
#pragma once

#include <string>
#include <string_view>

#include "quillmere/util/file_descriptor.h"

namespace quillmere {

class ScratchDir {
 public:
  /// Makes "quillmere-scratch-XXXXXX" (mode 0700) in `parent` (TMPDIR) and
  /// holds a lock on it while it lives; first removes every such directory
  /// there whose lock nobody holds. Throws OnboardingError when the
  /// directory cannot be made.
  explicit ScratchDir(const std::string& parent);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  /// Writes `content` to the file `name` under the directory: "FILE" or
  /// "DIR/FILE", DIR made when missing. Throws OnboardingError on failure.
  void write(std::string_view name, std::string_view content) const;

 private:
  std::string path_;
  FileDescriptor lock_;  ///< the directory itself, flocked while it is in use
};

/// Removes `path` and everything below it; no error when it is gone already.
void remove_tree(const std::string& path);

}  // namespace quillmere

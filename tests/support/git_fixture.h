// A real git remote and working copy in a temporary directory.
#pragma once

#include <string>
#include <vector>

namespace quillmere::testing {

/// `root`/remote.git: a bare repository with the branches dev, staging and
/// prod, each holding README.md; `root`/work: a working copy cloned from it,
/// on dev.
class GitRemoteFixture {
 public:
  explicit GitRemoteFixture(const std::string& root,
                            const std::vector<std::string>& branches = {"dev", "staging", "prod"});

  const std::string& remote() const { return remote_; }
  const std::string& work() const { return work_; }

  /// Runs "git ARGS" in `dir` (the working copy by default); trimmed output.
  std::string git(const std::string& args, const std::string& dir = "") const;
  /// Runs "git ARGS" in the bare remote.
  std::string remote_git(const std::string& args) const;

  bool remote_has_branch(const std::string& branch) const;
  bool local_has_branch(const std::string& branch) const;
  /// Names of the files at the root of `branch` on the remote.
  std::vector<std::string> remote_tree(const std::string& branch) const;
  /// The full commit message of the tip of `branch` on the remote, trimmed.
  std::string remote_commit_message(const std::string& branch) const;
  /// "NAME <EMAIL>" of the committer of the tip of `branch` on the remote.
  std::string remote_committer(const std::string& branch) const;
  /// Content of `path` at the tip of `branch` on the remote.
  std::string remote_file(const std::string& branch, const std::string& path) const;

 private:
  std::string root_;
  std::string remote_;
  std::string work_;
};

}  // namespace quillmere::testing

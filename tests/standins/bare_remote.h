// What the stand-in GitLab does in the project's repository, a bare git
// repository on disk: reading a branch's head, keeping each merge request's
// head as refs/merge-requests/IID/head, merging and deleting branches.
#pragma once

#include <optional>
#include <string>

namespace quillmere::standins {

class BareRemote {
 public:
  /// `git_dir` is the bare repository; empty means there is none and every
  /// operation does nothing.
  explicit BareRemote(std::string git_dir) : git_dir_(std::move(git_dir)) {}

  bool exists() const { return !git_dir_.empty(); }

  /// The commit refs/heads/BRANCH names; nullopt when there is no such branch.
  std::optional<std::string> branch_head(const std::string& branch) const;
  /// Points refs/merge-requests/IID/head at `commit`, as GitLab keeps it.
  void keep_merge_request_head(long long iid, const std::string& commit) const;
  /// A merge commit of `source` into `target` (the source's tree: the
  /// source must already contain the target), as the merge button makes it;
  /// its id, or nullopt when the source does not contain the target.
  std::optional<std::string> merge(const std::string& source, const std::string& target) const;
  void delete_branch(const std::string& branch) const;

 private:
  std::string git_dir_;
};

}  // namespace quillmere::standins

// The merge requests this tool opened into the project, learnt once per run:
// which are open and which were closed without merging. Every request file's
// plan asks it instead of GitLab; only when the listing failed does a
// question go to GitLab on its own, for that one branch.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/remote/gitlab_client.h"

namespace quillmere {

class MergeRequestIndex {
 public:
  /// `author_id`: the token's user as its own record gave it; when absent,
  /// the listing asks GET /user for it.
  MergeRequestIndex(RemoteContext& remote, std::optional<long long> author_id);

  /// Lists the open and the closed merge requests, on the first call only
  /// (list_merge_requests). A failure is logged at WARNING and kept; every
  /// question is then asked per branch. False when the listing failed.
  bool learn();
  /// True once learn() has run.
  bool learnt() const { return learnt_; }
  /// Why the listing failed; empty when it did not (or has not run).
  const std::string& listing_failure() const { return failure_; }
  std::size_t open_count() const { return opened_.size(); }
  std::size_t closed_count() const { return closed_.size(); }

  /// The open merge request from `source` into `target` (learn() first).
  std::optional<nlohmann::json> open_merge_request(const std::string& source,
                                                   const std::string& target);
  /// The newest merge request from `source` into `target` that was closed
  /// without merging (learn() first).
  std::optional<nlohmann::json> closed_merge_request(const std::string& source,
                                                     const std::string& target);
  /// The same from the listing alone: nullopt when the listing failed.
  std::optional<nlohmann::json> listed_closed_merge_request(const std::string& source,
                                                            const std::string& target);

 private:
  RemoteContext& remote_;
  std::optional<long long> author_id_;
  bool learnt_ = false;
  std::string failure_;
  std::vector<nlohmann::json> opened_;
  std::vector<nlohmann::json> closed_;
};

}  // namespace quillmere

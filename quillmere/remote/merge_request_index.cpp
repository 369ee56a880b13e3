#include "quillmere/remote/merge_request_index.h"

#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

bool is_from(const nlohmann::json& mr_data, const std::string& source, const std::string& target) {
  return mr_data.at("source_branch") == source && mr_data.at("target_branch") == target;
}

// The listed merge request from `source` into `target` with the highest iid.
std::optional<nlohmann::json> newest_from(const std::vector<nlohmann::json>& listed,
                                          const std::string& source, const std::string& target) {
  std::optional<nlohmann::json> newest;
  for (const nlohmann::json& mr_data : listed)
    if (is_from(mr_data, source, target) &&
        (!newest || merge_request_iid(mr_data) > merge_request_iid(*newest)))
      newest = mr_data;
  return newest;
}

}  // namespace

MergeRequestIndex::MergeRequestIndex(RemoteContext& remote, std::optional<long long> author_id)
    : remote_(remote), author_id_(author_id) {}

bool MergeRequestIndex::learn() {
  if (learnt_) return failure_.empty();
  learnt_ = true;
  try {
    if (!author_id_) {
      const nlohmann::json user = get_current_user(remote_);
      const auto id = user.find("id");
      if (id == user.end() || !id->is_number_integer())
        throw OnboardingError("GitLab did not say which user the token belongs to");
      author_id_ = id->get<long long>();
    }
    opened_ = list_merge_requests(remote_, "opened", *author_id_);
    closed_ = list_merge_requests(remote_, "closed", *author_id_);
  } catch (const std::exception& failure) {
    failure_ = failure.what();
    if (failure_.empty()) failure_ = "no reason given";
    opened_.clear();
    closed_.clear();
    logger().warning("⚠️ Could not list this tool's merge requests: " + printable(failure_) +
                     "; each request file asks GitLab about its own branch");
  }
  return failure_.empty();
}

std::optional<nlohmann::json> MergeRequestIndex::open_merge_request(const std::string& source,
                                                                    const std::string& target) {
  if (!learn()) return find_open_merge_request(remote_, source, target);
  return newest_from(opened_, source, target);
}

std::optional<nlohmann::json> MergeRequestIndex::closed_merge_request(const std::string& source,
                                                                      const std::string& target) {
  if (!learn()) return find_closed_merge_request(remote_, source, target);
  return newest_from(closed_, source, target);
}

std::optional<nlohmann::json> MergeRequestIndex::listed_closed_merge_request(
    const std::string& source, const std::string& target) {
  if (!learn()) return std::nullopt;
  return newest_from(closed_, source, target);
}

}  // namespace quillmere

#include "quillmere/gitlab_client.h"

#include "quillmere/types.h"

namespace quillmere {
std::optional<long long> get_user_id(HttpClient&, const std::string&) { throw OnboardingError("not written yet"); }
std::string jira_link(const std::string& ticket) { return ticket; }
std::string build_mr_description(const std::string&, const std::string&, const std::string&,
                                 const std::string&) { return {}; }
nlohmann::json create_merge_request(RemoteContext&, const std::string&, const std::string&,
                                    const std::string&, const std::string&) {
  throw OnboardingError("not written yet");
}
}  // namespace quillmere

// GitLab merge requests: reviewer lookup and merge request creation.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/http_client.h"
#include "quillmere/retry.h"

namespace quillmere {

/// What the remote stages of a run share: one HTTP client and the retry policy
/// that every GitLab call runs under.
struct RemoteContext {
  HttpClient& http;
  RetryPolicy retry;
};

/// The id of the GitLab user `username` (GITLAB_URL and GITLAB_TOKEN read at
/// each call); absent when GitLab's record has a null id. Throws
/// OnboardingError "User not found: NAME" for any status but 200 or an empty
/// answer; transport and parse failures carry their own text. No message ever
/// contains the token. Call it through the retry policy.
std::optional<long long> get_user_id(HttpClient& http, const std::string& username);

/// "JIRA_BASE_URL/TICKET" when JIRA_BASE_URL is set, else the bare ticket.
std::string jira_link(const std::string& ticket);

/// The markdown description of an onboarding merge request.
std::string build_mr_description(const std::string& project_name, const std::string& target_branch,
                                 const std::string& jira_link, const std::string& mentions);

/// The labels every onboarding merge request carries, in order.
const std::vector<std::string>& mr_labels();

/// Opens the merge request (reviewers resolved through `remote.retry`) and
/// returns GitLab's object unchanged. Throws OnboardingError "MR creation
/// failed: BODY" for any status but 201. Call it through `remote.retry` too.
nlohmann::json create_merge_request(RemoteContext& remote, const std::string& branch_name,
                                    const std::string& target_branch, const std::string& ticket,
                                    const std::string& project_name);

}  // namespace quillmere

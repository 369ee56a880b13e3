// GitLab merge requests: reviewer lookup, merge request creation and the
// lookup of an open merge request. Every call runs under the retry policy.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "quillmere/config/settings.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/retry.h"
#include "quillmere/request/request_file.h"

namespace quillmere {

/// What the GitLab operations of a run share: the settings they read, one
/// HTTP client and the retry policy every call runs under.
struct RemoteContext {
  const Settings& settings;
  HttpClient& http;
  RetryPolicy retry;
};

/// The id of the GitLab user `username`; absent when GitLab's record has a
/// null id. Fails with OnboardingError "User not found: NAME" for any status
/// but 200 or an empty answer (after the retries); transport and parse
/// failures carry their own text. No message ever contains the token.
std::optional<long long> get_user_id(RemoteContext& remote, const std::string& username);

/// The user the token belongs to, as GitLab shows it (GET /user). Fails with
/// OnboardingError "Token check failed: STATUS BODY" for any status but 200.
nlohmann::json get_current_user(RemoteContext& remote);

/// The project PROJECT_ID names (GET /projects/:id). Fails with
/// OnboardingError "Project lookup failed: STATUS BODY" for any status but 200.
nlohmann::json get_project(RemoteContext& remote);

/// The token's expiry date as GET /personal_access_tokens/self gives it
/// ("YYYY-MM-DD"): one attempt, never retried. nullopt whenever GitLab does
/// not say: no answer, any status but 200 (older GitLab, other kinds of
/// token), an unreadable body or a token without expiry.
std::optional<std::string> get_token_expiry(RemoteContext& remote);

/// The open merge request from `source_branch` into `target_branch`, as
/// GitLab lists it; nullopt when there is none.
std::optional<nlohmann::json> find_open_merge_request(RemoteContext& remote,
                                                      const std::string& source_branch,
                                                      const std::string& target_branch);

/// Opens the merge request of `request` (its branch into its target) and returns GitLab's object
/// unchanged. Fails with OnboardingError "MR creation failed: BODY" for any status but 201 (after
/// the retries). Before posting again after an attempt that may have reached
/// GitLab (no answer, a 5xx, a 201 that cannot be read) and after a 409, the
/// open merge request of the branch is looked up: when it exists it is the
/// result, so a request never gets two merge requests.
nlohmann::json create_merge_request(RemoteContext& remote, const RequestFile& request);

/// The text of `mr_data`'s web_url, as the log shows it.
std::string web_url_text(const nlohmann::json& mr_data);

}  // namespace quillmere

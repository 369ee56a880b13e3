// GitLab merge requests: reviewer lookup, merge request creation and the
// lookup of an open merge request. Every call runs under the retry policy.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/config/settings.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/retry.h"
#include "quillmere/request/request_file.h"
#include "quillmere/util/error.h"

namespace quillmere {

/// What GitLab answered for one reviewer name: the id (absent for a record
/// with a null id), or, for a name it does not know, the failure text.
struct ReviewerAnswer {
  std::optional<long long> id;
  std::string unknown;  ///< empty when the name was found
};

/// What the GitLab operations of a run share: the settings they read, one
/// HTTP client and the retry policy every call runs under.
struct RemoteContext {
  const Settings& settings;
  HttpClient& http;
  RetryPolicy retry;
  /// With ORIGIN_SYNC=per-run, GitLab's answer for each reviewer name, kept
  /// from the first merge request of the run for every later one. Failures
  /// without such an answer (no connection, a 5xx) are not kept.
  std::map<std::string, ReviewerAnswer> known_reviewers = {};
};

/// The user search answered, and no user has that name.
class UnknownUserError : public OnboardingError {
 public:
  using OnboardingError::OnboardingError;
};

/// The id of the GitLab user `username`; absent when GitLab's record has a
/// null id. Fails with OnboardingError "User not found: NAME" for any status
/// but 200 or an empty answer (after the retries; for the empty answer it is
/// an UnknownUserError); transport and parse failures carry their own text.
/// No message ever contains the token.
std::optional<long long> get_user_id(RemoteContext& remote, const std::string& username);

/// The user the token belongs to, as GitLab shows it (GET /user). Fails with
/// OnboardingError "Token check failed: STATUS BODY" for any status but 200.
nlohmann::json get_current_user(RemoteContext& remote);

/// The project PROJECT_ID names (GET /projects/:id). Fails with
/// OnboardingError "Project lookup failed: STATUS BODY" for any status but 200.
nlohmann::json get_project(RemoteContext& remote);

/// What GET /personal_access_tokens/self says of the token: one attempt,
/// never retried. A member is absent whenever GitLab does not say: no
/// answer, any status but 200 (older GitLab, other kinds of token), an
/// unreadable body, or a token without expiry. A token GitLab refuses fails
/// with OnboardingError "GitLab refused GITLAB_TOKEN (HTTP 401)" (or 403):
/// every later call would fail the same way.
struct TokenFacts {
  std::optional<std::string> expires_at;  ///< "YYYY-MM-DD" as GitLab gives it
  std::optional<long long> user_id;       ///< the user the token acts for
};
TokenFacts get_token_facts(RemoteContext& remote);

/// Pages a listing reads at most, of kMergeRequestsPerPage each; a longer
/// list fails the listing.
inline constexpr int kMergeRequestListPages = 50;
inline constexpr int kMergeRequestsPerPage = 100;

/// The merge requests of the project in `state` ("opened", "closed") that
/// `author_id` opened with the label "project-onboarding": GET
/// /projects/:id/merge_requests?state=STATE&labels=project-onboarding&author_id=ID
/// &per_page=100&page=N, page after page (X-Next-Page, or a full page when
/// that header is missing), each page under the retry policy. Entries that
/// are no merge request object (iid, web_url, source and target branch) are
/// left out. Fails like the other reads ("Merge request listing failed: ...").
std::vector<nlohmann::json> list_merge_requests(RemoteContext& remote, const std::string& state,
                                                long long author_id);

/// The open merge request from `source_branch` into `target_branch`, as
/// GitLab lists it; nullopt when there is none.
std::optional<nlohmann::json> find_open_merge_request(RemoteContext& remote,
                                                      const std::string& source_branch,
                                                      const std::string& target_branch);

/// The newest merge request from `source_branch` into `target_branch` that
/// was closed without merging, as GitLab lists it; nullopt when there is none.
std::optional<nlohmann::json> find_closed_merge_request(RemoteContext& remote,
                                                        const std::string& source_branch,
                                                        const std::string& target_branch);

/// The iid of a merge request object; nullopt when it has no integer iid.
std::optional<long long> merge_request_iid(const nlohmann::json& mr_data);

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

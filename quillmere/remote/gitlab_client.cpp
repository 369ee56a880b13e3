#include "quillmere/remote/gitlab_client.h"

#include <vector>

#include "quillmere/request/onboarding_texts.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// What every GitLab call needs: the base URL, the project and the token
// header. The configuration check at the start of the batch has made sure all three are set.
struct GitLabTarget {
  std::string base_url;
  std::string project_id;
  std::string token;

  explicit GitLabTarget(const Settings& settings)
      : base_url(settings.gitlab_url.value_or("")),
        project_id(settings.project_id.value_or("")),
        token(settings.gitlab_token.value_or("")) {}

  HttpHeaders headers() const { return {{"PRIVATE-TOKEN", token}}; }
  std::string merge_requests_url() const {
    return base_url + "/projects/" + project_id + "/merge_requests";
  }
};

// Every failure text leaving this file goes through here: a server may echo
// the token back in a body, parser messages quote the text they read, and a
// body may hold line breaks or terminal controls.
std::string safe_text(const std::string& text, const std::string& token) {
  return printable(mask_secret(text, token));
}

[[noreturn]] void fail(const std::string& message, const std::string& token) {
  throw OnboardingError(safe_text(message, token));
}

// A status the server wants to be asked again for later keeps its wait.
[[noreturn]] void fail_status(const std::string& message, const HttpResponse& response,
                              const std::string& token) {
  if (response.status == 429 && response.retry_after_seconds >= 0)
    throw RetryLaterError(safe_text(message, token), response.retry_after_seconds);
  fail(message, token);
}

// A server's body as a failure text shows it: the token masked, and no more
// than the first kExcerptCharacters of it, however much the server sent.
std::string body_text(const std::string& body, const std::string& token) {
  return excerpt(mask_secret(body, token));
}

nlohmann::json parse_body(const std::string& body, const std::string& token) {
  try {
    return nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception& failure) {
    // The parser's message quotes what it read, which may be most of the body.
    fail(body_text(failure.what(), token), token);
  }
}

// "302 Found": a redirect is never followed (it would carry the token to
// wherever it points), so its status is what the failure can tell.
bool is_redirect(const HttpResponse& response) {
  return response.status >= 300 && response.status <= 399;
}

std::string redirect_status_text(long status) {
  static const std::pair<long, const char*> kReasons[] = {
      {300, "Multiple Choices"},   {301, "Moved Permanently"}, {302, "Found"},
      {303, "See Other"},          {304, "Not Modified"},      {305, "Use Proxy"},
      {307, "Temporary Redirect"}, {308, "Permanent Redirect"}};
  for (const auto& [code, reason] : kReasons)
    if (code == status) return std::to_string(status) + " " + reason;
  return std::to_string(status);
}

// The JSON value's "emptiness" in the sense the user search uses: an empty
// array (or object, string), zero, false or null.
bool is_empty_value(const nlohmann::json& value) {
  if (value.is_null()) return true;
  if (value.is_array() || value.is_object() || value.is_string()) return value.empty();
  if (value.is_boolean()) return !value.get<bool>();
  if (value.is_number()) return value == 0;
  return false;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += "'" + names[i] + "'";
  }
  return text + "]";
}

bool is_merge_request(const nlohmann::json& value) {
  return value.is_object() && value.contains("web_url");
}

std::optional<long long> look_up_user(RemoteContext& remote, const std::string& username) {
  const GitLabTarget gitlab(remote.settings);
  // Encoded so that a name such as "a&b=c" stays one value of one parameter.
  const std::string url = gitlab.base_url + "/users?username=" + percent_encode(username);

  const HttpResponse response = remote.http.get(url, gitlab.headers());
  if (!response.answered()) fail(response.transport_error, gitlab.token);
  if (is_redirect(response))
    fail("User not found: " + username + " (" + redirect_status_text(response.status) +
             ": redirects are not followed)",
         gitlab.token);
  if (response.status != 200) fail_status("User not found: " + username, response, gitlab.token);

  const nlohmann::json users = parse_body(response.body, gitlab.token);
  if (is_empty_value(users))
    throw UnknownUserError(safe_text("User not found: " + username, gitlab.token));
  if (!users.is_array() || !users.front().is_object() || !users.front().contains("id"))
    fail("Unexpected answer to the user search for " + username +
             ": not a list of user records with an id",
         gitlab.token);

  const nlohmann::json& id = users.front().at("id");
  if (id.is_null()) return std::nullopt;
  if (!id.is_number_integer())
    fail("Unexpected answer to the user search for " + username + ": the id is not an integer",
         gitlab.token);
  const long long user_id = id.get<long long>();
  logger().debug("Found user " + username + " with ID " + std::to_string(user_id));
  return user_id;
}

// An object with the members the plan reads: an integer iid, the web_url
// and both branch names.
bool is_listed_merge_request(const nlohmann::json& value) {
  if (!is_merge_request(value)) return false;
  const auto iid = value.find("iid");
  const auto source = value.find("source_branch");
  const auto target = value.find("target_branch");
  return iid != value.end() && iid->is_number_integer() && source != value.end() &&
         source->is_string() && target != value.end() && target->is_string();
}

// One page of a merge request list: the entries, and the page after it (0
// when this is the last one).
struct MergeRequestPage {
  std::vector<nlohmann::json> entries;
  long long next_page = 0;
};

MergeRequestPage read_merge_request_page(RemoteContext& remote, const std::string& url,
                                         const std::string& what) {
  const GitLabTarget gitlab(remote.settings);
  const HttpResponse response = remote.http.get(url, gitlab.headers());
  if (!response.answered()) fail(response.transport_error, gitlab.token);
  if (response.status != 200)
    fail_status(what + " failed: " + body_text(response.body, gitlab.token), response,
                gitlab.token);
  const nlohmann::json listed = parse_body(response.body, gitlab.token);
  if (!listed.is_array())
    fail("Unexpected answer to the " + ascii_lower(what) +
             ": not a list: " + body_text(response.body, gitlab.token),
         gitlab.token);
  MergeRequestPage page;
  page.next_page = response.next_page;
  for (const nlohmann::json& candidate : listed)
    if (is_merge_request(candidate)) page.entries.push_back(candidate);
  // Without X-Next-Page, a full page may have more after it.
  if (page.next_page < 0) page.next_page = listed.size() >= kMergeRequestsPerPage ? -1 : 0;
  return page;
}

std::optional<nlohmann::json> look_up_open_merge_request(RemoteContext& remote,
                                                         const std::string& source_branch,
                                                         const std::string& target_branch) {
  const GitLabTarget gitlab(remote.settings);
  const std::string url = gitlab.merge_requests_url() +
                          "?state=opened&source_branch=" + percent_encode(source_branch) +
                          "&target_branch=" + percent_encode(target_branch);
  const MergeRequestPage page = read_merge_request_page(remote, url, "Merge request lookup");
  if (page.entries.empty()) return std::nullopt;
  return page.entries.front();
}

// One read of a JSON object; `what` names it in a failure.
nlohmann::json read_object(RemoteContext& remote, const std::string& url, const std::string& what) {
  const GitLabTarget gitlab(remote.settings);
  const HttpResponse response = remote.http.get(url, gitlab.headers());
  if (!response.answered()) fail(response.transport_error, gitlab.token);
  if (response.status != 200)
    fail_status(what + " failed: " + std::to_string(response.status) + " " +
                    body_text(response.body, gitlab.token),
                response, gitlab.token);
  nlohmann::json object = parse_body(response.body, gitlab.token);
  if (!object.is_object())
    fail(what + " failed: not a JSON object: " + body_text(response.body, gitlab.token),
         gitlab.token);
  return object;
}

// GitLab's answer for one reviewer name: looked up (under the retry policy),
// or with ORIGIN_SYNC=per-run as it answered earlier in the run. Throws what
// the look-up throws when there is no answer to go by.
ReviewerAnswer answer_for_reviewer(RemoteContext& remote, const std::string& name) {
  const bool once_per_run = remote.settings.origin_sync == OriginSync::PerRun;
  if (once_per_run)
    if (const auto known = remote.known_reviewers.find(name); known != remote.known_reviewers.end())
      return known->second;
  ReviewerAnswer answer;
  try {
    answer.id = get_user_id(remote, name);
  } catch (const UnknownUserError& failure) {
    answer.unknown = failure.what();
  }
  if (once_per_run) remote.known_reviewers[name] = answer;
  return answer;
}

// Reviewer names to ids; a reviewer who cannot be resolved is reported and
// left out, since the merge request is still worth opening.
std::vector<long long> resolve_reviewers(RemoteContext& remote) {
  Logger& log = logger();
  std::vector<long long> reviewer_ids;
  for (const std::string& name : remote.settings.reviewer_usernames) {
    std::optional<std::string> failure;
    try {
      const ReviewerAnswer answer = answer_for_reviewer(remote, name);
      if (!answer.unknown.empty()) failure = answer.unknown;
      if (answer.id && *answer.id != 0) {
        reviewer_ids.push_back(*answer.id);
        log.debug("Found reviewer: " + name + " (ID: " + std::to_string(*answer.id) + ")");
      }
    } catch (const std::exception& error) {
      failure = error.what();
    }
    if (failure) log.warning("Could not find GitLab user: " + name + " - " + *failure);
  }
  return reviewer_ids;
}

std::string merge_request_body(const Settings& settings, const std::vector<long long>& reviewer_ids,
                               const std::string& branch_name, const std::string& target_branch,
                               const std::string& ticket, const std::string& project_name) {
  std::vector<std::string> mentions;
  for (const std::string& name : settings.reviewer_usernames) mentions.push_back("@" + name);
  nlohmann::ordered_json payload;
  payload["source_branch"] = branch_name;
  payload["target_branch"] = target_branch;
  payload["title"] = mr_title(ticket, project_name, target_branch);
  payload["description"] = build_mr_description(
      project_name, target_branch, jira_link(settings.jira_base_url, ticket), join(mentions, " "));
  payload["reviewer_ids"] = reviewer_ids;
  payload["assignee_ids"] = reviewer_ids;
  payload["labels"] = join(mr_labels(), ",");
  try {
    return payload.dump();
  } catch (const nlohmann::json::exception& failure) {
    fail(failure.what(), settings.gitlab_token.value_or(""));
  }
}

}  // namespace

std::string web_url_text(const nlohmann::json& mr_data) {
  const nlohmann::json& web_url = mr_data.at("web_url");
  return printable(excerpt(web_url.is_string() ? web_url.get<std::string>() : web_url.dump()));
}

std::optional<long long> get_user_id(RemoteContext& remote, const std::string& username) {
  return remote.retry.call(look_up_user, remote, username);
}

nlohmann::json get_current_user(RemoteContext& remote) {
  const std::string url = GitLabTarget(remote.settings).base_url + "/user";
  return remote.retry.call(read_object, remote, url, std::string("Token check"));
}

nlohmann::json get_project(RemoteContext& remote) {
  const GitLabTarget gitlab(remote.settings);
  const std::string url = gitlab.base_url + "/projects/" + gitlab.project_id;
  return remote.retry.call(read_object, remote, url, std::string("Project lookup"));
}

TokenFacts get_token_facts(RemoteContext& remote) {
  const GitLabTarget gitlab(remote.settings);
  const HttpResponse response =
      remote.http.get(gitlab.base_url + "/personal_access_tokens/self", gitlab.headers());
  if (response.answered() && (response.status == 401 || response.status == 403))
    throw OnboardingError("GitLab refused GITLAB_TOKEN (HTTP " + std::to_string(response.status) +
                          ")");
  TokenFacts facts;
  if (!response.answered() || response.status != 200) return facts;
  const nlohmann::json token = nlohmann::json::parse(response.body, nullptr, false);
  if (!token.is_object()) return facts;
  const auto expires_at = token.find("expires_at");
  if (expires_at != token.end() && expires_at->is_string())
    facts.expires_at = expires_at->get<std::string>();
  const auto user_id = token.find("user_id");
  if (user_id != token.end() && user_id->is_number_integer())
    facts.user_id = user_id->get<long long>();
  return facts;
}

std::vector<nlohmann::json> list_merge_requests(RemoteContext& remote, const std::string& state,
                                                long long author_id) {
  const std::string url =
      GitLabTarget(remote.settings).merge_requests_url() + "?state=" + percent_encode(state) +
      "&labels=" + percent_encode(mr_labels().front()) + "&author_id=" + std::to_string(author_id) +
      "&per_page=" + std::to_string(kMergeRequestsPerPage) + "&page=";
  std::vector<nlohmann::json> listed;
  long long page_number = 1;
  for (int pages = 0; pages < kMergeRequestListPages; ++pages) {
    const MergeRequestPage page =
        remote.retry.call(read_merge_request_page, remote, url + std::to_string(page_number),
                          std::string("Merge request listing"));
    for (const nlohmann::json& entry : page.entries)
      if (is_listed_merge_request(entry)) listed.push_back(entry);
    if (page.next_page == 0) return listed;
    // A server that names a page already read would have the loop go round.
    page_number = page.next_page > page_number ? page.next_page : page_number + 1;
  }
  throw OnboardingError("Merge request listing failed: more than " +
                        std::to_string(kMergeRequestListPages) + " pages");
}

std::optional<long long> merge_request_iid(const nlohmann::json& mr_data) {
  const auto iid = mr_data.find("iid");
  if (iid == mr_data.end() || !iid->is_number_integer()) return std::nullopt;
  return iid->get<long long>();
}

std::optional<nlohmann::json> find_open_merge_request(RemoteContext& remote,
                                                      const std::string& source_branch,
                                                      const std::string& target_branch) {
  return remote.retry.call(look_up_open_merge_request, remote, source_branch, target_branch);
}

std::optional<nlohmann::json> find_closed_merge_request(RemoteContext& remote,
                                                        const std::string& source_branch,
                                                        const std::string& target_branch) {
  const auto look_up = [&]() -> std::optional<nlohmann::json> {
    const GitLabTarget gitlab(remote.settings);
    const std::string url = gitlab.merge_requests_url() +
                            "?state=closed&source_branch=" + percent_encode(source_branch) +
                            "&target_branch=" + percent_encode(target_branch);
    std::optional<nlohmann::json> newest;
    for (const nlohmann::json& entry :
         read_merge_request_page(remote, url, "Merge request lookup").entries)
      if (is_listed_merge_request(entry) &&
          (!newest || merge_request_iid(entry) > merge_request_iid(*newest)))
        newest = entry;
    return newest;
  };
  return remote.retry.call(look_up);
}

nlohmann::json create_merge_request(RemoteContext& remote, const RequestFile& request) {
  const std::string& branch_name = request.branch;
  const std::string& target_branch = request.target;
  const std::string& project_name = request.request.project_name;
  const GitLabTarget gitlab(remote.settings);
  Logger& log = logger();
  // Set once an attempt may have created the merge request although its
  // answer never arrived or could not be read.
  bool may_exist = false;
  // Part of the attempt, so the policy that retries the attempt covers it.
  const auto found_open = [&]() -> std::optional<nlohmann::json> {
    std::optional<nlohmann::json> found =
        look_up_open_merge_request(remote, branch_name, target_branch);
    if (found) log.info("🔗 Found the open merge request: " + web_url_text(*found));
    return found;
  };

  const auto attempt = [&]() -> nlohmann::json {
    if (may_exist)
      if (std::optional<nlohmann::json> found = found_open()) return *found;

    log.info("👥 Reviewers: " + quoted_list(remote.settings.reviewer_usernames));
    const std::vector<long long> reviewer_ids = resolve_reviewers(remote);
    const std::string body =
        merge_request_body(remote.settings, reviewer_ids, branch_name, target_branch,
                           request.request.ticket, project_name);

    log.info("📬 Creating Merge Request for project " + project_name + "...");
    const HttpResponse response =
        remote.http.post_json(gitlab.merge_requests_url(), body, gitlab.headers());
    if (!response.answered()) {
      // A request that never left cannot have created anything: the next
      // attempt is the whole attempt again.
      may_exist = may_exist || !response.sent_nothing;
      fail(response.transport_error, gitlab.token);
    }
    if (response.status == 409) {
      may_exist = true;
      if (std::optional<nlohmann::json> found = found_open()) return *found;
    }
    if (is_redirect(response))
      fail("MR creation failed: " + redirect_status_text(response.status) +
               " (redirects are not followed; GITLAB_URL may be wrong)",
           gitlab.token);
    if (response.status != 201) {
      may_exist = may_exist || response.status >= 500;
      fail_status("MR creation failed: " + body_text(response.body, gitlab.token), response,
                  gitlab.token);
    }

    may_exist = true;  // created, whatever the body says
    nlohmann::json mr_data = parse_body(response.body, gitlab.token);
    if (!is_merge_request(mr_data))
      fail("Unexpected answer to the merge request creation: no object with a web_url: " +
               body_text(response.body, gitlab.token),
           gitlab.token);
    log.info("🎉 MR Created: " + web_url_text(mr_data));
    return mr_data;
  };
  return remote.retry.call(attempt);
}

}  // namespace quillmere

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
  if (is_empty_value(users)) fail("User not found: " + username, gitlab.token);
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

std::optional<nlohmann::json> look_up_open_merge_request(RemoteContext& remote,
                                                         const std::string& source_branch,
                                                         const std::string& target_branch) {
  const GitLabTarget gitlab(remote.settings);
  const std::string url = gitlab.merge_requests_url() +
                          "?state=opened&source_branch=" + percent_encode(source_branch) +
                          "&target_branch=" + percent_encode(target_branch);
  const HttpResponse response = remote.http.get(url, gitlab.headers());
  if (!response.answered()) fail(response.transport_error, gitlab.token);
  if (response.status != 200)
    fail_status("Merge request lookup failed: " + body_text(response.body, gitlab.token), response,
                gitlab.token);
  const nlohmann::json listed = parse_body(response.body, gitlab.token);
  if (!listed.is_array())
    fail("Unexpected answer to the merge request lookup: not a list: " +
             body_text(response.body, gitlab.token),
         gitlab.token);
  for (const nlohmann::json& candidate : listed)
    if (is_merge_request(candidate)) return candidate;
  return std::nullopt;
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

// Reviewer names to ids; a reviewer who cannot be resolved is reported and
// left out, since the merge request is still worth opening.
std::vector<long long> resolve_reviewers(RemoteContext& remote) {
  Logger& log = logger();
  std::vector<long long> reviewer_ids;
  for (const std::string& name : remote.settings.reviewer_usernames) {
    try {
      const std::optional<long long> id = get_user_id(remote, name);
      if (id && *id != 0) {
        reviewer_ids.push_back(*id);
        log.debug("Found reviewer: " + name + " (ID: " + std::to_string(*id) + ")");
      }
    } catch (const std::exception& failure) {
      log.warning("Could not find GitLab user: " + name + " - " + failure.what());
    }
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

std::optional<std::string> get_token_expiry(RemoteContext& remote) {
  const GitLabTarget gitlab(remote.settings);
  const HttpResponse response =
      remote.http.get(gitlab.base_url + "/personal_access_tokens/self", gitlab.headers());
  if (!response.answered() || response.status != 200) return std::nullopt;
  const nlohmann::json token = nlohmann::json::parse(response.body, nullptr, false);
  if (!token.is_object()) return std::nullopt;
  const auto expires_at = token.find("expires_at");
  if (expires_at == token.end() || !expires_at->is_string()) return std::nullopt;
  return expires_at->get<std::string>();
}

std::optional<nlohmann::json> find_open_merge_request(RemoteContext& remote,
                                                      const std::string& source_branch,
                                                      const std::string& target_branch) {
  return remote.retry.call(look_up_open_merge_request, remote, source_branch, target_branch);
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

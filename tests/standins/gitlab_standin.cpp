// GitLab's REST API as quillmere meets it: GET /users?username=, GET /user,
// GET /personal_access_tokens/self, GET /projects/:id, and POST and GET
// /projects/:id/merge_requests, with GitLab's own statuses and bodies. Merge
// requests keep their state (opened, closed, merged) and, with a bare
// repository to look at, their head as GitLab keeps it.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "tests/standins/bare_remote.h"
#include "tests/standins/loopback_server.h"
#include "tests/standins/standin_servers.h"

namespace quillmere::standins {

namespace {

using ordered_json = nlohmann::ordered_json;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string piece = trim(text.substr(start, comma - start));
    if (!piece.empty()) pieces.push_back(piece);
    start = comma + 1;
  }
  return pieces;
}

// "2025-02-24T09:15:42.318Z", the form GitLab writes its times in.
std::string utc_now_text() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

// A stable stand-in for a commit id.
std::string fake_sha(const std::string& seed) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t hash = std::hash<std::string>{}(seed);
  std::string sha;
  for (int i = 0; i < 40; ++i) {
    sha.push_back(kHex[hash & 0xF]);
    hash = hash * 31 + static_cast<size_t>(i) + (hash >> 7);
  }
  return sha;
}

size_t utf8_length(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Integer ids sent as a JSON array or as a comma-separated string.
std::vector<long long> id_list(const ordered_json& value) {
  std::vector<long long> ids;
  if (value.is_array()) {
    for (const auto& item : value)
      if (item.is_number_integer()) ids.push_back(item.get<long long>());
  } else if (value.is_string()) {
    for (const std::string& piece : split_commas(value.get<std::string>())) {
      try {
        ids.push_back(std::stoll(piece));
      } catch (const std::exception&) {
      }
    }
  } else if (value.is_number_integer()) {
    ids.push_back(value.get<long long>());
  }
  return ids;
}

// Labels sent as a comma-separated string or an array; GitLab answers with
// their titles sorted.
std::vector<std::string> label_list(const ordered_json& value) {
  std::set<std::string> labels;
  if (value.is_string()) {
    for (const std::string& label : split_commas(value.get<std::string>())) labels.insert(label);
  } else if (value.is_array()) {
    for (const auto& item : value)
      if (item.is_string() && !trim(item.get<std::string>()).empty())
        labels.insert(trim(item.get<std::string>()));
  }
  return {labels.begin(), labels.end()};
}

ordered_json message_body(const ordered_json& message) {
  ordered_json body;
  body["message"] = message;
  return body;
}

// {"message":{"FIELD":["PROBLEM"]}}, a model validation failure.
ordered_json field_error(const std::string& field, const std::string& problem) {
  ordered_json errors;
  errors[field] = ordered_json::array({problem});
  return message_body(errors);
}

// When the project and the token owner's account were made.
constexpr const char* kProjectCreatedAt = "2024-03-11T08:30:12.204Z";

ordered_json error_body(const std::string& error) {
  ordered_json body;
  body["error"] = error;
  return body;
}

}  // namespace

struct GitLabStandin::Impl {
  Options options;
  BareRemote repository;
  mutable std::mutex mutex;
  std::map<Route, std::deque<ForcedAnswer>> forced;
  std::vector<std::pair<std::optional<Route>, RecordedRequest>> recorded;
  std::vector<ordered_json> created;  ///< as creation answered, index iid - 1
  std::vector<ordered_json> current;  ///< as they are now, index iid - 1
  long long next_iid = 1;
  std::unique_ptr<LoopbackServer> server;

  explicit Impl(Options given) : options(std::move(given)), repository(options.git_remote) {}

  ordered_json user_json(const GitLabUser& user) const {
    ordered_json json;
    json["id"] = user.id;
    json["username"] = user.username;
    json["name"] = user.name;
    json["state"] = "active";
    json["locked"] = false;
    json["avatar_url"] = server->base_url() + "/uploads/-/system/user/avatar/" +
                         std::to_string(user.id) + "/avatar.png";
    json["web_url"] = server->base_url() + "/" + user.username;
    return json;
  }

  // The token owner's own record, as GET /user gives it: the public user with
  // the members only its owner sees.
  ordered_json current_user_json() const {
    ordered_json json = user_json(options.author);
    json["created_at"] = kProjectCreatedAt;
    for (const char* name : {"bio", "location", "linkedin", "twitter", "discord", "website_url",
                             "organization", "job_title"})
      json[name] = "";
    for (const char* name : {"public_email", "pronouns", "work_information", "local_time"})
      json[name] = nullptr;
    json["bot"] = false;
    for (const char* name : {"last_sign_in_at", "confirmed_at", "current_sign_in_at"})
      json[name] = kProjectCreatedAt;
    json["last_activity_on"] = utc_now_text().substr(0, 10);
    json["projects_limit"] = 0;
    for (const char* name : {"can_create_group", "can_create_project", "two_factor_enabled",
                             "external", "private_profile"})
      json[name] = false;
    return json;
  }

  // The token's own record, as GET /personal_access_tokens/self gives it.
  ordered_json token_json() const {
    ordered_json json;
    json["id"] = 17;
    json["name"] = "quillmere";
    json["revoked"] = false;
    json["created_at"] = kProjectCreatedAt;
    json["description"] = "Onboarding merge requests";
    json["scopes"] = ordered_json::array({"api"});
    json["user_id"] = options.author.id;
    json["last_used_at"] = utc_now_text();
    json["active"] = true;
    json["expires_at"] = nullptr;
    if (options.token_expires_in_days)
      json["expires_at"] = GitLabStandin::utc_date_in(*options.token_expires_in_days);
    return json;
  }

  bool is_the_project(const std::string& id) const {
    return id == options.project_id || id == options.project_path;
  }

  // The numeric id as a number; a non-numeric one as given.
  ordered_json project_id_json() const {
    try {
      return std::stoll(options.project_id);
    } catch (const std::exception&) {
      return options.project_id;
    }
  }

  // The project as GET /projects/:id shows it to a member with Developer access.
  ordered_json project_json() const {
    const std::string& full_path = options.project_path;
    const size_t slash = full_path.rfind('/');
    const std::string path = slash == std::string::npos ? full_path : full_path.substr(slash + 1);
    const std::string group = slash == std::string::npos ? "" : full_path.substr(0, slash);
    const std::string group_name = group.substr(group.rfind('/') + 1);
    const std::string base = server->base_url();
    const std::string host =
        base.substr(base.find("//") + 2, base.rfind(':') - base.find("//") - 2);
    const std::string web_url = base + "/" + full_path;
    const std::string api_self = base + "/api/v4/projects/" + options.project_id;
    std::string name_with_namespace;
    for (size_t start = 0; start <= full_path.size();) {
      const size_t end = std::min(full_path.find('/', start), full_path.size());
      name_with_namespace += (start ? " / " : "") + full_path.substr(start, end - start);
      start = end + 1;
    }

    ordered_json project;
    project["id"] = project_id_json();
    project["description"] = "Onboarding requests, one YAML file per project";
    project["name"] = path;
    project["name_with_namespace"] = name_with_namespace;
    project["path"] = path;
    project["path_with_namespace"] = full_path;
    project["created_at"] = kProjectCreatedAt;
    project["default_branch"] = "main";
    project["tag_list"] = ordered_json::array();
    project["topics"] = ordered_json::array();
    project["ssh_url_to_repo"] = "git@" + host + ":" + full_path + ".git";
    project["http_url_to_repo"] = web_url + ".git";
    project["web_url"] = web_url;
    project["readme_url"] = web_url + "/-/blob/main/README.md";
    project["forks_count"] = 0;
    project["avatar_url"] = nullptr;
    project["star_count"] = 0;
    project["last_activity_at"] = utc_now_text();
    project["namespace"] = {{"id", 7},
                            {"name", group_name},
                            {"path", group_name},
                            {"kind", "group"},
                            {"full_path", group},
                            {"parent_id", nullptr},
                            {"avatar_url", nullptr},
                            {"web_url", base + "/groups/" + group}};
    project["_links"] = {{"self", api_self},
                         {"issues", api_self + "/issues"},
                         {"merge_requests", api_self + "/merge_requests"},
                         {"repo_branches", api_self + "/repository/branches"},
                         {"labels", api_self + "/labels"},
                         {"events", api_self + "/events"},
                         {"members", api_self + "/members"}};
    project["empty_repo"] = false;
    project["archived"] = false;
    project["visibility"] = "private";
    project["issues_enabled"] = true;
    project["merge_requests_enabled"] = true;
    project["wiki_enabled"] = false;
    project["jobs_enabled"] = true;
    project["creator_id"] = options.author.id;
    project["open_issues_count"] = 0;
    project["merge_method"] = "merge";
    project["squash_option"] = "default_off";
    project["only_allow_merge_if_pipeline_succeeds"] = false;
    project["remove_source_branch_after_merge"] = true;
    project["permissions"] = {{"project_access", {{"access_level", 30}, {"notification_level", 3}}},
                              {"group_access", nullptr}};
    return project;
  }

  // GitLab takes :id from one segment of the path as sent, so a project path
  // comes URL-encoded ("platform%2Fonboarding-config") and request.path holds
  // it decoded. The path as sent (request.target) tells /projects/:id from
  // /projects/:id/merge_requests, whatever slashes the decoded :id holds.
  std::optional<Route> route_of(const httplib::Request& request, std::string& project) const {
    static constexpr std::string_view kPrefix = "/api/v4/projects/";
    static constexpr std::string_view kSuffix = "/merge_requests";
    const std::string_view path = request.path;
    const std::string_view sent =
        std::string_view(request.target).substr(0, request.target.find('?'));
    const bool get = request.method == "GET";
    if (get && path == "/api/v4/users") return Route::kUserSearch;
    if (get && path == "/api/v4/user") return Route::kCurrentUser;
    if (get && path == "/api/v4/personal_access_tokens/self") return Route::kTokenSelf;
    if (sent.size() <= kPrefix.size() || sent.substr(0, kPrefix.size()) != kPrefix ||
        path.substr(0, kPrefix.size()) != kPrefix)
      return std::nullopt;
    if (get && sent.find('/', kPrefix.size()) == std::string_view::npos) {
      project = path.substr(kPrefix.size());
      return Route::kProject;
    }
    if ((request.method == "POST" || get) && path.size() > kPrefix.size() + kSuffix.size() &&
        sent.substr(sent.size() - kSuffix.size()) == kSuffix &&
        path.substr(path.size() - kSuffix.size()) == kSuffix) {
      project = path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
      return request.method == "POST" ? Route::kCreateMergeRequest : Route::kListMergeRequests;
    }
    return std::nullopt;
  }

  void handle(const httplib::Request& request, httplib::Response& response) {
    std::optional<ForcedAnswer> fault;
    RecordedRequest record;
    {
      std::lock_guard lock(mutex);
      std::string project;
      const std::optional<Route> route = route_of(request, project);
      if (route && !forced[*route].empty()) {
        fault = std::move(forced[*route].front());
        forced[*route].pop_front();
      }
      if (!fault || fault->serve_first) serve(request, response, route, project);
      if (fault && !fault->keep_normal_answer) answer(response, *fault);
      record = record_exchange(request, response, fault ? &*fault : nullptr);
      recorded.emplace_back(route, record);
    }
    if (options.observer) options.observer(record);
    if (fault) server->carry_out(request, *fault);
  }

  // Runs with the mutex held.
  void serve(const httplib::Request& request, httplib::Response& response,
             const std::optional<Route>& route, const std::string& project) {
    if (!route) return answer_json(response, 404, error_body("404 Not Found"));

    const bool has_token = request.has_header("PRIVATE-TOKEN");
    if ((has_token && request.get_header_value("PRIVATE-TOKEN") != options.token) ||
        (!has_token && (*route == Route::kCreateMergeRequest || *route == Route::kCurrentUser ||
                        *route == Route::kTokenSelf)))
      return answer_json(response, 401, message_body("401 Unauthorized"));

    switch (*route) {
      case Route::kUserSearch:
        return search_users(request, response, has_token);
      case Route::kCurrentUser:
        return answer_json(response, 200, current_user_json());
      case Route::kTokenSelf:
        if (options.token_self_not_found)
          return answer_json(response, 404, error_body("404 Not Found"));
        return answer_json(response, 200, token_json());
      case Route::kProject:
        // The project is private: without a token it is not there at all.
        if (!is_the_project(project) || !has_token)
          return answer_json(response, 404, message_body("404 Project Not Found"));
        return answer_json(response, 200, project_json());
      case Route::kCreateMergeRequest:
        return create_merge_request(request, response, project);
      case Route::kListMergeRequests:
        return list_merge_requests(request, response, project, has_token);
    }
  }

  void search_users(const httplib::Request& request, httplib::Response& response, bool has_token) {
    // Anonymous searches are allowed only for one user name.
    if (!request.has_param("username")) {
      if (!has_token)
        return answer_json(response, 403,
                           message_body("403 Forbidden - Not authorized to access /api/v4/users"));
      ordered_json all = ordered_json::array();
      for (const GitLabUser& user : options.users) all.push_back(user_json(user));
      return answer_json(response, 200, all);
    }
    const std::string wanted = lower(request.get_param_value("username"));
    ordered_json found = ordered_json::array();
    for (const GitLabUser& user : options.users)
      if (lower(user.username) == wanted) found.push_back(user_json(user));
    answer_json(response, 200, found);
  }

  std::optional<ordered_json> parameters(const httplib::Request& request,
                                         httplib::Response& response) {
    const std::string content_type = lower(request.get_header_value("Content-Type"));
    if (content_type.rfind("application/json", 0) == 0) {
      ordered_json body = ordered_json::parse(request.body, nullptr, false);
      if (body.is_discarded() || !body.is_object()) {
        answer_json(response, 400, error_body("The request body is not a JSON object"));
        return std::nullopt;
      }
      return body;
    }
    if (!request.body.empty() && content_type.rfind("application/x-www-form-urlencoded", 0) != 0) {
      answer_json(response, 415, message_body("415 Unsupported Media Type"));
      return std::nullopt;
    }
    // Query and form parameters.
    ordered_json body = ordered_json::object();
    for (const auto& [name, value] : request.params) body[name] = value;
    return body;
  }

  void create_merge_request(const httplib::Request& request, httplib::Response& response,
                            const std::string& project) {
    if (!is_the_project(project))
      return answer_json(response, 404, message_body("404 Project Not Found"));
    const std::optional<ordered_json> params = parameters(request, response);
    if (params) create_with(*params, response);
  }

  // Runs with the mutex held.
  void create_with(const ordered_json& params, httplib::Response& response) {
    std::string missing;
    for (const char* name : {"source_branch", "target_branch", "title"}) {
      if (params.contains(name) && !params[name].is_null()) continue;
      missing += (missing.empty() ? "" : ", ") + std::string(name) + " is missing";
    }
    if (!missing.empty()) return answer_json(response, 400, error_body(missing));
    for (const char* name : {"source_branch", "target_branch", "title"}) {
      if (!params[name].is_string())
        return answer_json(response, 400, error_body(std::string(name) + " is invalid"));
    }
    const std::string source = params["source_branch"];
    const std::string target = params["target_branch"];
    const std::string title = params["title"];
    if (trim(title).empty())
      return answer_json(response, 400, field_error("title", "can't be blank"));
    if (utf8_length(title) > 255)
      return answer_json(response, 400,
                         field_error("title", "is too long (maximum is 255 characters)"));
    if (source == target)
      return answer_json(response, 422,
                         message_body(ordered_json::array(
                             {"You can't use same project/branch for source and target"})));
    for (const ordered_json& existing : current) {
      if (existing["state"] == "opened" && existing["source_branch"] == source &&
          existing["target_branch"] == target)
        return answer_json(
            response, 409,
            message_body(ordered_json::array(
                {"Another open merge request already exists for this source branch: !" +
                 existing["iid"].dump()})));
    }

    const long long iid = next_iid++;
    ordered_json mr = merge_request_json(params, iid, source, target, title);
    if (const std::optional<std::string> head = repository.branch_head(source)) mr["sha"] = *head;
    repository.keep_merge_request_head(iid, mr["sha"]);
    created.push_back(mr);
    current.push_back(mr);
    answer_json(response, 201, mr);
  }

  // An open merge request follows its source branch: a push moves its head
  // (sha and refs/merge-requests/IID/head). Closed and merged ones keep theirs.
  void follow_source_branches() {
    for (ordered_json& mr : current) {
      if (mr["state"] != "opened") continue;
      const std::optional<std::string> head = repository.branch_head(mr["source_branch"]);
      if (!head || mr["sha"] == *head) continue;
      mr["sha"] = *head;
      mr["updated_at"] = utc_now_text();
      repository.keep_merge_request_head(mr["iid"].get<long long>(), *head);
    }
  }

  // Closed without merging, or merged, by a person; `by` is the token's owner.
  void finish(long long iid, bool merged, bool delete_branch) {
    if (iid < 1 || iid > static_cast<long long>(current.size()))
      throw std::invalid_argument("no merge request !" + std::to_string(iid));
    follow_source_branches();
    ordered_json& mr = current[static_cast<size_t>(iid - 1)];
    const std::string now = utc_now_text();
    const std::string source = mr["source_branch"];
    if (merged) {
      const std::optional<std::string> merge_commit = repository.merge(source, mr["target_branch"]);
      mr["merge_commit_sha"] = merge_commit ? ordered_json(*merge_commit) : ordered_json();
      mr["merged_by"] = mr["merge_user"] = user_json(options.author);
      mr["merged_at"] = now;
    } else {
      mr["closed_by"] = user_json(options.author);
      mr["closed_at"] = now;
    }
    mr["state"] = merged ? "merged" : "closed";
    mr["updated_at"] = now;
    mr["merge_status"] = "cannot_be_merged";
    mr["detailed_merge_status"] = "not_open";
    if (delete_branch) repository.delete_branch(source);
  }

  // A project's merge requests, newest first as GitLab lists them, narrowed
  // by state ("all" for any), labels (every one given), author_id,
  // source_branch and target_branch, one page at a time with GitLab's
  // pagination headers (per_page at most 100, 20 when not given).
  void list_merge_requests(const httplib::Request& request, httplib::Response& response,
                           const std::string& project, bool has_token) {
    // The project is private: without a token it is not there at all.
    if (!is_the_project(project) || !has_token)
      return answer_json(response, 404, message_body("404 Project Not Found"));
    follow_source_branches();
    const auto matches = [&](const ordered_json& mr, const char* name) {
      return !request.has_param(name) || mr[name] == request.get_param_value(name);
    };
    const auto has_labels = [&](const ordered_json& mr) {
      for (const std::string& label : split_commas(request.get_param_value("labels")))
        if (std::find(mr["labels"].begin(), mr["labels"].end(), label) == mr["labels"].end())
          return false;
      return true;
    };
    const auto by_author = [&](const ordered_json& mr) {
      return !request.has_param("author_id") ||
             mr["author"]["id"].dump() == request.get_param_value("author_id");
    };
    const bool any_state = !request.has_param("state") || request.get_param_value("state") == "all";
    std::vector<const ordered_json*> found;
    for (auto mr = current.rbegin(); mr != current.rend(); ++mr)
      if ((any_state || matches(*mr, "state")) && matches(*mr, "source_branch") &&
          matches(*mr, "target_branch") && has_labels(*mr) && by_author(*mr))
        found.push_back(&*mr);
    if (request.get_param_value("sort") == "asc") std::reverse(found.begin(), found.end());

    const auto number = [&](const char* name, long long fallback) {
      try {
        return request.has_param(name) ? std::stoll(request.get_param_value(name)) : fallback;
      } catch (const std::exception&) {
        return fallback;
      }
    };
    const long long per_page = std::clamp(number("per_page", 20), 1LL, 100LL);
    const long long page = std::max(number("page", 1), 1LL);
    const long long total = static_cast<long long>(found.size());
    const long long pages = std::max((total + per_page - 1) / per_page, 1LL);
    ordered_json listed = ordered_json::array();
    for (long long at = (page - 1) * per_page; at < std::min(page * per_page, total); ++at)
      listed.push_back(*found[static_cast<size_t>(at)]);
    answer_json(response, 200, listed);
    response.set_header("X-Page", std::to_string(page));
    response.set_header("X-Per-Page", std::to_string(per_page));
    response.set_header("X-Total", std::to_string(total));
    response.set_header("X-Total-Pages", std::to_string(pages));
    response.set_header("X-Next-Page", page < pages ? std::to_string(page + 1) : "");
    response.set_header("X-Prev-Page", page > 1 ? std::to_string(page - 1) : "");
  }

  std::vector<ordered_json> users_with_ids(const std::vector<long long>& ids) const {
    // Ids of users the project does not know are dropped, as GitLab does.
    std::vector<ordered_json> users;
    for (long long id : ids)
      for (const GitLabUser& user : options.users)
        if (user.id == id) users.push_back(user_json(user));
    return users;
  }

  // The full object GitLab answers a creation with, members in its order.
  ordered_json merge_request_json(const ordered_json& params, long long iid,
                                  const std::string& source, const std::string& target,
                                  const std::string& title) const {
    const std::string now = utc_now_text();
    const std::string reference = "!" + std::to_string(iid);
    const std::vector<ordered_json> assignees =
        users_with_ids(id_list(params.value("assignee_ids", ordered_json())));
    const std::vector<ordered_json> reviewers =
        users_with_ids(id_list(params.value("reviewer_ids", ordered_json())));
    const ordered_json description = params.value("description", ordered_json());
    const ordered_json project_id = project_id_json();

    ordered_json mr;
    mr["id"] = 248000 + iid;
    mr["iid"] = iid;
    mr["project_id"] = project_id;
    mr["title"] = title;
    mr["description"] = description.is_string() ? description : ordered_json();
    mr["state"] = "opened";
    mr["created_at"] = now;
    mr["updated_at"] = now;
    // merged_by, merge_user and closed_by come once someone merged or closed it.
    mr["merged_at"] = nullptr;
    mr["closed_at"] = nullptr;
    mr["target_branch"] = target;
    mr["source_branch"] = source;
    mr["user_notes_count"] = 0;
    mr["upvotes"] = 0;
    mr["downvotes"] = 0;
    mr["author"] = user_json(options.author);
    mr["assignees"] = assignees;
    mr["assignee"] = assignees.empty() ? ordered_json() : assignees.front();
    mr["reviewers"] = reviewers;
    mr["source_project_id"] = project_id;
    mr["target_project_id"] = project_id;
    mr["labels"] = label_list(params.value("labels", ordered_json()));
    mr["draft"] = title.rfind("Draft:", 0) == 0;
    mr["imported"] = false;
    mr["imported_from"] = "none";
    mr["work_in_progress"] = mr["draft"];
    mr["milestone"] = nullptr;
    mr["merge_when_pipeline_succeeds"] = false;
    mr["merge_status"] = "checking";
    mr["detailed_merge_status"] = "preparing";
    mr["merge_after"] = nullptr;
    mr["sha"] = fake_sha(source);
    mr["merge_commit_sha"] = nullptr;
    mr["squash_commit_sha"] = nullptr;
    mr["discussion_locked"] = nullptr;
    mr["should_remove_source_branch"] = nullptr;
    mr["force_remove_source_branch"] = params.value("remove_source_branch", false);
    mr["prepared_at"] = nullptr;
    mr["reference"] = reference;
    mr["references"] = {
        {"short", reference}, {"relative", reference}, {"full", options.project_path + reference}};
    mr["web_url"] = server->base_url() + "/" + options.project_path + "/-/merge_requests/" +
                    std::to_string(iid);
    mr["time_stats"] = {{"time_estimate", 0},
                        {"total_time_spent", 0},
                        {"human_time_estimate", nullptr},
                        {"human_total_time_spent", nullptr}};
    mr["squash"] = params.value("squash", false);
    mr["squash_on_merge"] = mr["squash"];
    mr["task_completion_status"] = {{"count", 0}, {"completed_count", 0}};
    mr["has_conflicts"] = false;
    mr["blocking_discussions_resolved"] = true;
    mr["subscribed"] = true;
    mr["changes_count"] = "1";
    for (const char* name :
         {"latest_build_started_at", "latest_build_finished_at", "first_deployed_to_production_at",
          "pipeline", "head_pipeline", "diff_refs", "merge_error"})
      mr[name] = nullptr;
    mr["user"] = {{"can_merge", true}};
    return mr;
  }
};

long long GitLabStandin::add_merge_request(const nlohmann::ordered_json& params) {
  std::lock_guard lock(impl_->mutex);
  httplib::Response response;
  impl_->create_with(params, response);
  if (response.status != 201)
    throw std::invalid_argument("stand-in: merge request refused: " + response.body);
  return impl_->next_iid - 1;
}

GitLabStandin::GitLabStandin(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->server = std::make_unique<LoopbackServer>(
      impl_->options.tls, impl_->options.keep_alive,
      [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
        impl->handle(request, response);
      });
}

GitLabStandin::~GitLabStandin() { impl_->server.reset(); }

int GitLabStandin::port() const { return impl_->server->port(); }
std::string GitLabStandin::base_url() const { return impl_->server->base_url(); }
std::string GitLabStandin::api_url() const { return base_url() + "/api/v4"; }

void GitLabStandin::force_next(Route route, ForcedAnswer answer, int times) {
  std::lock_guard lock(impl_->mutex);
  for (int i = 0; i < times; ++i) impl_->forced[route].push_back(answer);
}

std::string GitLabStandin::utc_date_in(int days) {
  const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
  std::tm utc{};
  gmtime_r(&when, &utc);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &utc);
  return date;
}

void GitLabStandin::set_token_expiry(std::optional<int> expires_in_days, bool not_found) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.token_expires_in_days = expires_in_days;
  impl_->options.token_self_not_found = not_found;
}

std::vector<RecordedRequest> GitLabStandin::requests() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> all;
  for (const auto& entry : impl_->recorded) all.push_back(entry.second);
  return all;
}

std::vector<RecordedRequest> GitLabStandin::requests(Route route) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> matching;
  for (const auto& [entry_route, request] : impl_->recorded)
    if (entry_route == route) matching.push_back(request);
  return matching;
}

std::vector<nlohmann::ordered_json> GitLabStandin::merge_requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->created;
}

nlohmann::ordered_json GitLabStandin::merge_request(long long iid) const {
  std::lock_guard lock(impl_->mutex);
  impl_->follow_source_branches();
  return impl_->current.at(static_cast<size_t>(iid - 1));
}

void GitLabStandin::close_merge_request(long long iid, bool delete_branch) {
  std::lock_guard lock(impl_->mutex);
  impl_->finish(iid, false, delete_branch);
}

void GitLabStandin::merge_merge_request(long long iid, bool delete_branch) {
  std::lock_guard lock(impl_->mutex);
  impl_->finish(iid, true, delete_branch);
}

}  // namespace quillmere::standins

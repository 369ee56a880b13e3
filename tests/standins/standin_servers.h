// Stand-in GitLab and Teams servers for tests and the sandbox. They listen on
// 127.0.0.1 only, on a free port, over HTTP or HTTPS, answer the way the real
// services do for the calls quillmere makes, record every request, and can be
// told to give forced answers.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillmere::standins {

/// Certificate and key (PEM files); both empty means plain HTTP.
struct TlsFiles {
  std::string cert_file;
  std::string key_file;

  bool enabled() const { return !cert_file.empty(); }
};

/// How long a server keeps an idle connection open, and for how many
/// requests at most. The default is short, so that a stand-in stops quickly
/// while a client still holds a connection; kServiceKeepAlive is what a
/// GitLab or Teams in service allows (nginx's defaults).
struct KeepAlive {
  int idle_seconds = 1;
  int requests = 5;
};
inline constexpr KeepAlive kServiceKeepAlive{75, 1000};

/// One request as received, with the answer that was sent.
struct RecordedRequest {
  std::chrono::steady_clock::time_point received;
  /// The client's "ADDRESS:PORT": requests with the same came on one connection.
  std::string client;
  std::string method;
  std::string path;                                         ///< percent-decoded path
  std::string query;                                        ///< the raw query string, without "?"
  std::vector<std::pair<std::string, std::string>> params;  ///< decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int status = 0;  ///< 0 when the connection was dropped without an answer
  std::string response_body;

  /// The first header of that name (case-insensitive); empty when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
  /// The body parsed with its member order kept; null when it is not JSON.
  nlohmann::ordered_json json_body() const;
  /// A JSON record of the request with every occurrence of `secret` masked.
  nlohmann::ordered_json to_json(std::string_view secret = {}) const;
};

/// An answer given instead of the normal one. Besides replacing the answer
/// it can model what goes wrong between the service and the client: the
/// request may first be served as usual (so a merge request really is
/// created) and its answer then replaced, held back or lost.
struct ForcedAnswer {
  int status = 500;
  std::string body;
  std::string content_type = "application/json";
  /// Extra answer headers, such as Retry-After.
  std::vector<std::pair<std::string, std::string>> headers = {};
  /// Serve the request as usual first; its normal answer is then replaced by
  /// this one, unless keep_normal_answer.
  bool serve_first = false;
  bool keep_normal_answer = false;
  /// Wait this long before answering (or dropping); cut short when the
  /// stand-in stops.
  int delay_seconds = 0;
  /// Send nothing back and close the connection: the client sees a transport
  /// error. The request is recorded with status 0.
  bool drop_connection = false;
  /// When not 0, `body` is replaced by this many bytes of filler, made while
  /// they are sent (never held); kEndlessBody sends chunks until the client
  /// goes away (at most kEndlessBodyLimit bytes).
  long long generated_body_bytes = 0;
};

inline constexpr long long kEndlessBody = -1;
inline constexpr long long kEndlessBodyLimit = 1LL << 30;

/// Ready-made faults of POST /projects/:id/merge_requests, for
/// GitLabStandin::force_next(Route::kCreateMergeRequest, ...).
namespace merge_request_faults {
/// Creates the merge request, then closes the connection without answering.
ForcedAnswer create_then_drop();
/// Creates it and answers 201 as usual, but only after `seconds`.
ForcedAnswer create_then_stall(int seconds);
/// Creates it, then answers 201 with a proxy's HTML page instead of JSON.
ForcedAnswer created_non_json();
/// 429 with "Retry-After: SECONDS" and GitLab's throttle text; creates nothing.
ForcedAnswer too_many_requests(int retry_after_seconds);
/// Closes the connection without answering; creates nothing.
ForcedAnswer drop();
/// 500 with GitLab's JSON body; creates nothing.
ForcedAnswer server_error();
/// 502 with a proxy's HTML page; creates nothing.
ForcedAnswer bad_gateway();
/// The fault of that name: "create_then_drop", "create_then_stall:SECONDS",
/// "created_non_json", "too_many_requests:SECONDS", "drop", "server_error" or
/// "bad_gateway"; nullopt for anything else.
std::optional<ForcedAnswer> named(std::string_view name);
}  // namespace merge_request_faults

/// Called (from a server thread) after each request has been recorded.
using RequestObserver = std::function<void(const RecordedRequest&)>;

struct GitLabUser {
  long long id = 0;
  std::string username;
  std::string name;
};

/// GitLab's REST API under /api/v4: the user search, the token's own user
/// and its own record (its expiry), the project, merge request creation and the list of a project's
/// merge requests (filtered by state, labels, author_id, source and target branch; paginated
/// with GitLab's headers), with GitLab's statuses and bodies. The project is private. Merge
/// requests are kept for the life of the stand-in: open until a test closes or merges them.
/// Their objects are shaped as GitLab's own response schema has them.
class GitLabStandin {
 public:
  enum class Route {
    kUserSearch,          ///< GET /users
    kCurrentUser,         ///< GET /user: the token's owner
    kProject,             ///< GET /projects/:id
    kCreateMergeRequest,  ///< POST /projects/:id/merge_requests
    kListMergeRequests,   ///< GET /projects/:id/merge_requests
    kTokenSelf,           ///< GET /personal_access_tokens/self
  };

  struct Options {
    std::string token = "stand-in-token";
    std::string project_id = "42";
    std::string project_path = "platform/onboarding-config";
    std::vector<GitLabUser> users;
    /// The token's owner, who authors every merge request and is GET /user.
    GitLabUser author{3, "onboarding-bot", "Onboarding Bot"};
    /// GET /personal_access_tokens/self: the token expires this many UTC days
    /// from today; nullopt for a token without expiry (expires_at null).
    std::optional<int> token_expires_in_days = 300;
    /// That endpoint answers 404 instead, as an older GitLab does.
    bool token_self_not_found = false;
    /// The project's repository (a bare git repository), when there is one:
    /// a merge request's sha is then its source branch's head, kept, as GitLab
    /// keeps it, in refs/merge-requests/IID/head (followed while it is open),
    /// and merging makes a merge commit on the target.
    std::string git_remote;
    TlsFiles tls;
    RequestObserver observer;
    KeepAlive keep_alive = {};
  };

  explicit GitLabStandin(Options options);
  ~GitLabStandin();
  GitLabStandin(const GitLabStandin&) = delete;
  GitLabStandin& operator=(const GitLabStandin&) = delete;

  int port() const;
  /// "http(s)://127.0.0.1:PORT"
  std::string base_url() const;
  /// base_url() + "/api/v4", the value for GITLAB_URL.
  std::string api_url() const;

  /// The next `times` requests of `route` get `answer` (queued after earlier
  /// forced answers), whatever they hold.
  void force_next(Route route, ForcedAnswer answer, int times = 1);

  /// What GET /personal_access_tokens/self says from now on, as the
  /// options of the same names.
  void set_token_expiry(std::optional<int> expires_in_days, bool not_found = false);
  /// The UTC date ("YYYY-MM-DD") `days` from now, as expires_at gives it.
  static std::string utc_date_in(int days);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(Route route) const;
  /// The merge requests created so far, oldest first, as creation answered
  /// them (also those whose answer was replaced or lost).
  std::vector<nlohmann::ordered_json> merge_requests() const;
  /// Merge request IID as it is now.
  nlohmann::ordered_json merge_request(long long iid) const;

  /// A merge request opened earlier, as if POSTed with `params` (the same
  /// rules); its iid. Throws when GitLab would refuse it.
  long long add_merge_request(const nlohmann::ordered_json& params);

  /// What a reviewer does: close merge request IID without merging it, or
  /// merge it (a merge commit on the target in git_remote); with
  /// `delete_branch` its source branch goes too. Throws for an unknown IID.
  void close_merge_request(long long iid, bool delete_branch = false);
  void merge_merge_request(long long iid, bool delete_branch = false);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// One run of the Workflows webhook's flow: what the real flow makes of a
/// post it accepted with 202, which the sender never learns.
struct FlowRun {
  bool succeeded = false;
  std::string error;  ///< why the flow failed; empty when it succeeded
};

/// A Teams webhook of both kinds. The legacy connector (webhook_url()):
/// 200 "1", or 400 with Teams' texts. The Workflows webhook (workflows_url()):
/// 401 without the right sig, 404 for another flow, JSON error bodies, and
/// 202 with an empty body for any JSON, whose flow run fails when the post is
/// no message holding Adaptive Cards of at most version 1.4 or is over 28 KB.
class TeamsStandin {
 public:
  struct Options {
    std::string path = "/webhookb2/stand-in@tenant/IncomingWebhook/0/stand-in";
    TlsFiles tls;
    RequestObserver observer;
    std::string workflow_id = "5e1f0c2a9d8b4c7e";
    std::string sig = "Zk3pQ9vX2mL7wR4tY8uN1bC6dH0jS5aE";
    KeepAlive keep_alive = {};
  };

  TeamsStandin();
  explicit TeamsStandin(Options options);
  ~TeamsStandin();
  TeamsStandin(const TeamsStandin&) = delete;
  TeamsStandin& operator=(const TeamsStandin&) = delete;

  int port() const;
  /// The value for TEAMS_WEBHOOK_URL: the legacy connector.
  std::string webhook_url() const;
  /// A Workflows URL, in the Logic Apps shape or the Power Platform one.
  std::string workflows_url(bool power_platform = false) const;

  /// The next `times` posts get `answer` instead of the normal one.
  void force_next(ForcedAnswer answer, int times = 1);
  /// Every post from now on gets `answer`, until stop_failing().
  void fail_always(ForcedAnswer answer);
  void stop_failing();

  std::vector<RecordedRequest> requests() const;
  /// Every body posted to either webhook that was a JSON object, member
  /// order kept.
  std::vector<nlohmann::ordered_json> cards() const;
  /// The Workflows flow's run history, oldest first, and its failed runs.
  std::vector<FlowRun> runs() const;
  std::vector<FlowRun> failed_runs() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The legacy webhook's answer when Teams throttled the channel: status 200.
inline constexpr std::string_view kTeamsThrottledBody =
    "Webhook message delivery failed with error: Microsoft Teams endpoint returned HTTP error 429 "
    "with ContextId tcid=0,server=stand-in,cv=0.0..";

}  // namespace quillmere::standins

#include "quillmere/remote/gitlab_client.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillmere/util/error.h"
#include "tests/standins/standin_servers.h"
#include "tests/support/expected_texts.h"
#include "tests/support/process.h"

namespace quillmere::gitlab_client_test {
namespace {

using standins::GitLabStandin;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Route = standins::GitLabStandin::Route;
using testing::LogCapture;
using testing::ScopedEnv;

constexpr const char* kToken = "glpat-s3cr3t-t0ken";
constexpr const char* kLabels = "project-onboarding,auto-generated,Korvane Autonomous AI Agent";

GitLabStandin::Options gitlab_options() {
  GitLabStandin::Options options;
  options.token = kToken;
  options.project_id = "42";
  options.users = {{101, "alice", "Alice"}, {102, "bob", "Bob"}};
  return options;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> keys_of(const nlohmann::ordered_json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

struct GitLabClientTest : ::testing::Test {
  GitLabClientTest() {
    env.set("no_proxy", "127.0.0.1,localhost");
    env.set("NO_PROXY", "127.0.0.1,localhost");
    settings.gitlab_url = gitlab.api_url();
    settings.gitlab_token = kToken;
    settings.project_id = "42";
    settings.jira_base_url = "https://jira.example.com/browse";
  }

  void set_reviewers(const std::string& list) {
    settings.reviewer_usernames = split_reviewer_usernames(list);
  }

  nlohmann::json create(RemoteContext& context) {
    return create_merge_request(
        context,
        RequestFile{{"ABC-1", "dev", "billing"}, "dev-ABC-1-billing", "dev", "", "", "", {}});
  }

  // The lines the retry policy writes.
  std::vector<std::string> retry_lines() const {
    std::vector<std::string> lines;
    for (const std::string& line : log.lines())
      if (line.rfind("INFO - Retrying", 0) == 0 || line.rfind("WARNING - Attempt", 0) == 0 ||
          line.rfind("ERROR - Failed after", 0) == 0)
        lines.push_back(line);
    return lines;
  }

  ScopedEnv env;
  CurlGlobal curl;
  GitLabStandin gitlab{gitlab_options()};
  HttpClient http;
  Settings settings;
  std::vector<long long> waits;
  RemoteContext remote{settings, http,
                       retry_api_call(3, 1, [this](long long s) { waits.push_back(s); })};
  // One attempt: the answer rules of a single call.
  RemoteContext once{settings, http, retry_api_call(1, 0, [](long long) {})};
  LogCapture log;
};

TEST_F(GitLabClientTest, UserLookupSendsTokenAndEncodesTheName) {
  EXPECT_EQ(get_user_id(once, "ALICE"), 101);  // GitLab matches names case-insensitively

  // "&" and "=" must not start a second parameter.
  try {
    get_user_id(once, "a&b=c");
    ADD_FAILURE() << "an unknown user was found";
  } catch (const OnboardingError& failure) {
    EXPECT_STREQ(failure.what(), "User not found: a&b=c");
  }
  const auto requests = gitlab.requests(Route::kUserSearch);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("PRIVATE-TOKEN"), kToken);
  EXPECT_EQ(requests[0].query, "username=ALICE");
  EXPECT_EQ(requests[1].query, "username=a%26b%3Dc");
  EXPECT_THAT(requests[1].params,
              ElementsAre(std::pair<std::string, std::string>("username", "a&b=c")));
}

TEST_F(GitLabClientTest, UserLookupAnswerRules) {
  struct Case {
    int status;
    std::string body;
    std::optional<long long> id;  // expected when `failure` is empty
    std::string failure;          // expected message start
  };
  const Case cases[] = {
      {401, R"({"message":"401 Unauthorized"})", {}, "User not found: alice"},
      {500, R"({"message":"500 Internal Server Error"})", {}, "User not found: alice"},
      {200, "[]", {}, "User not found: alice"},
      {200, "{}", {}, "User not found: alice"},
      {200, "null", {}, "User not found: alice"},
      {200, R"([{"id":null}])", std::nullopt, ""},
      {200, R"([{"id":7},{"id":8}])", 7, ""},
      {200, R"({"id":7})", {}, "Unexpected answer to the user search for alice"},
      {200, R"([{"id":"7"}])", {}, "Unexpected answer to the user search for alice"},
      {200, "<html>", {}, "[json.exception.parse_error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    gitlab.force_next(Route::kUserSearch, {c.status, c.body});
    if (c.failure.empty()) {
      EXPECT_EQ(get_user_id(once, "alice"), c.id);
      continue;
    }
    try {
      get_user_id(once, "alice");
      ADD_FAILURE() << "no failure";
    } catch (const OnboardingError& failure) {
      EXPECT_EQ(std::string(failure.what()).rfind(c.failure, 0), 0u) << failure.what();
    }
  }
}

TEST_F(GitLabClientTest, CreatesTheDocumentedMergeRequest) {
  set_reviewers(" alice , ,bob ");
  const nlohmann::json mr_data = create(remote);

  const auto posts = gitlab.requests(Route::kCreateMergeRequest);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/api/v4/projects/42/merge_requests");
  EXPECT_EQ(posts[0].header("PRIVATE-TOKEN"), kToken);
  EXPECT_EQ(posts[0].header("Content-Type"), "application/json");
  const nlohmann::ordered_json body = posts[0].json_body();
  EXPECT_THAT(keys_of(body), ElementsAre("source_branch", "target_branch", "title", "description",
                                         "reviewer_ids", "assignee_ids", "labels"));
  EXPECT_EQ(body["source_branch"], "dev-ABC-1-billing");
  EXPECT_EQ(body["target_branch"], "dev");
  EXPECT_EQ(body["title"], "ABC-1: Onboard billing to dev");
  EXPECT_THAT(lines_of(body["description"]),
              ElementsAreArray(testing::expected_description_lines(
                  "billing", "dev", "https://jira.example.com/browse/ABC-1", "@alice @bob")));
  EXPECT_EQ(body["reviewer_ids"], nlohmann::ordered_json({101, 102}));
  EXPECT_EQ(body["assignee_ids"], nlohmann::ordered_json({101, 102}));
  EXPECT_EQ(body["labels"], kLabels);

  // GitLab's object comes back unchanged.
  ASSERT_EQ(gitlab.merge_requests().size(), 1u);
  EXPECT_EQ(mr_data, nlohmann::json::parse(gitlab.merge_requests()[0].dump()));
  const std::string web_url = mr_data["web_url"];
  EXPECT_EQ(web_url, gitlab.base_url() + "/platform/onboarding-config/-/merge_requests/1");
  EXPECT_EQ(gitlab.requests(Route::kUserSearch).size(), 2u);
  EXPECT_THAT(log.lines(), ElementsAre("INFO - 👥 Reviewers: ['alice', 'bob']",
                                       "INFO - 📬 Creating Merge Request for project billing...",
                                       "INFO - 🎉 MR Created: " + web_url));
}

TEST_F(GitLabClientTest, WithoutReviewersOrJiraNothingIsLookedUp) {
  set_reviewers(" , ,");
  settings.jira_base_url = "";
  create(remote);
  EXPECT_TRUE(gitlab.requests(Route::kUserSearch).empty());
  const nlohmann::ordered_json body = gitlab.requests(Route::kCreateMergeRequest)[0].json_body();
  EXPECT_EQ(body["reviewer_ids"], nlohmann::ordered_json::array());
  EXPECT_EQ(body["assignee_ids"], nlohmann::ordered_json::array());
  EXPECT_THAT(lines_of(body["description"]),
              ElementsAreArray(testing::expected_description_lines("billing", "dev", "ABC-1", "")));
  EXPECT_EQ(log.lines().front(), "INFO - 👥 Reviewers: []");
}

TEST_F(GitLabClientTest, UnknownReviewerIsRetriedThenLeftOutButStillMentioned) {
  set_reviewers("alice,carol,alice");
  create(remote);

  int carol_searches = 0;
  for (const auto& request : gitlab.requests(Route::kUserSearch))
    carol_searches += request.query == "username=carol";
  EXPECT_EQ(carol_searches, 3);
  EXPECT_THAT(waits, ElementsAre(1, 2));
  const nlohmann::ordered_json body = gitlab.requests(Route::kCreateMergeRequest)[0].json_body();
  EXPECT_EQ(body["reviewer_ids"], nlohmann::ordered_json({101, 101}));
  EXPECT_EQ(body["assignee_ids"], nlohmann::ordered_json({101, 101}));
  EXPECT_EQ(lines_of(body["description"])[11], "@alice @carol @alice");
  EXPECT_THAT(
      log.lines(),
      ElementsAre(
          "INFO - 👥 Reviewers: ['alice', 'carol', 'alice']",
          "WARNING - Attempt 1/3 failed: User not found: carol", "INFO - Retrying in 1 seconds...",
          "WARNING - Attempt 2/3 failed: User not found: carol", "INFO - Retrying in 2 seconds...",
          "ERROR - Failed after 3 attempts: User not found: carol",
          "WARNING - Could not find GitLab user: carol - User not found: carol",
          "INFO - 📬 Creating Merge Request for project billing...",
          "INFO - 🎉 MR Created: " + gitlab.merge_requests()[0]["web_url"].get<std::string>()));
}

// ORIGIN_SYNC=per-run: GitLab's answers are kept for the run, so the unknown
// name costs its retries once; a search GitLab gave no answer to (three 500s)
// is made again by the next merge request.
TEST_F(GitLabClientTest, PerRunKeepsWhatGitLabAnsweredForEveryLaterMergeRequest) {
  settings.origin_sync = OriginSync::PerRun;
  set_reviewers("alice,carol,bob");
  gitlab.force_next(Route::kUserSearch, {500, "{}"}, 3);
  create(remote);
  create_merge_request(
      remote, RequestFile{{"ABC-2", "dev", "api"}, "dev-ABC-2-api", "dev", "", "", "", {}});

  std::vector<std::string> searches;
  for (const auto& request : gitlab.requests(Route::kUserSearch)) searches.push_back(request.query);
  EXPECT_THAT(searches,
              ElementsAre("username=alice", "username=alice", "username=alice", "username=carol",
                          "username=carol", "username=carol", "username=bob", "username=alice"));
  EXPECT_THAT(waits, ElementsAre(1, 2, 1, 2));
  const auto posts = gitlab.requests(Route::kCreateMergeRequest);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].json_body()["reviewer_ids"], nlohmann::ordered_json({102}));
  EXPECT_EQ(posts[1].json_body()["reviewer_ids"], nlohmann::ordered_json({101, 102}));
  std::vector<std::string> warnings;
  for (const std::string& line : log.lines())
    if (line.starts_with("WARNING - Could not find")) warnings.push_back(line);
  EXPECT_THAT(warnings, ElementsAre("WARNING - Could not find GitLab user: alice - User not found: "
                                    "alice",
                                    "WARNING - Could not find GitLab user: carol - User not found: "
                                    "carol",
                                    "WARNING - Could not find GitLab user: carol - User not found: "
                                    "carol"));
}

TEST_F(GitLabClientTest, ServerErrorOnceIsRetriedAndTheMergeRequestCreated) {
  set_reviewers("alice,bob");
  gitlab.force_next(Route::kCreateMergeRequest,
                    {500, R"({"message":"500 Internal Server Error"})"});
  const nlohmann::json mr_data = create(remote);
  EXPECT_EQ(mr_data["iid"], 1);
  const auto posts = gitlab.requests(Route::kCreateMergeRequest);
  ASSERT_EQ(posts.size(), 2u);
  // The second attempt starts over: both reviewers are looked up again.
  std::vector<std::string> searches;
  for (const auto& request : gitlab.requests(Route::kUserSearch)) searches.push_back(request.query);
  EXPECT_THAT(searches,
              ElementsAre("username=alice", "username=bob", "username=alice", "username=bob"));
  for (const auto& post : posts)
    EXPECT_EQ(post.json_body()["reviewer_ids"], nlohmann::ordered_json({101, 102}));
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "INFO - 👥 Reviewers: ['alice', 'bob']"), 2);
  EXPECT_THAT(waits, ElementsAre(1));
  EXPECT_THAT(retry_lines(), ElementsAre("WARNING - Attempt 1/3 failed: MR creation failed: "
                                         R"({"message":"500 Internal Server Error"})",
                                         "INFO - Retrying in 1 seconds..."));
  EXPECT_TRUE(
      log.contains(LogLevel::Info, "🎉 MR Created: " + mr_data["web_url"].get<std::string>()));
}

TEST_F(GitLabClientTest, PermanentServerErrorFailsAfterThreeAttempts) {
  const std::string body = R"({"message":"500 Internal Server Error"})";
  gitlab.force_next(Route::kCreateMergeRequest, {500, body}, 3);
  try {
    create(remote);
    FAIL() << "no failure";
  } catch (const OnboardingError& failure) {
    EXPECT_EQ(failure.what(), "MR creation failed: " + body);
  }
  EXPECT_EQ(gitlab.requests(Route::kCreateMergeRequest).size(), 3u);
  EXPECT_THAT(waits, ElementsAre(1, 2));
  EXPECT_THAT(retry_lines(),
              ElementsAre("WARNING - Attempt 1/3 failed: MR creation failed: " + body,
                          "INFO - Retrying in 1 seconds...",
                          "WARNING - Attempt 2/3 failed: MR creation failed: " + body,
                          "INFO - Retrying in 2 seconds...",
                          "ERROR - Failed after 3 attempts: MR creation failed: " + body));
}

TEST_F(GitLabClientTest, OnlyA201WithAnObjectCounts) {
  const std::string duplicate =
      R"({"message":["Another open merge request already exists for this source branch: !4"]})";
  struct Case {
    int status;
    std::string body;
    std::string failure;
  };
  const Case cases[] = {
      {200, R"({"web_url":"https://x/-/merge_requests/1"})",
       R"(MR creation failed: {"web_url":"https://x/-/merge_requests/1"})"},
      {409, duplicate, "MR creation failed: " + duplicate},
      {201, "[]", "Unexpected answer to the merge request creation"},
      {201, R"({"iid":1})", "Unexpected answer to the merge request creation"},
      {201, "Created", "[json.exception.parse_error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    gitlab.force_next(Route::kCreateMergeRequest, {c.status, c.body});
    try {
      create(once);
      ADD_FAILURE() << "no failure";
    } catch (const OnboardingError& failure) {
      EXPECT_EQ(std::string(failure.what()).rfind(c.failure, 0), 0u) << failure.what();
    }
  }
}

TEST_F(GitLabClientTest, TokenNeverReachesTheLog) {
  set_reviewers("alice");
  // A broken proxy or server echoing the request back, as text and as JSON.
  gitlab.force_next(Route::kUserSearch, {200, std::string("PRIVATE-TOKEN: ") + kToken}, 3);
  gitlab.force_next(Route::kCreateMergeRequest,
                    {500, std::string(R"({"echo":{"PRIVATE-TOKEN":")") + kToken + "\"}}"}, 3);
  EXPECT_THROW(create(remote), OnboardingError);
  // And a server that is not there at all.
  settings.gitlab_url = "http://127.0.0.1:1/api/v4";
  EXPECT_THROW(create(remote), OnboardingError);

  ASSERT_THAT(log.lines(), Not(IsEmpty()));
  EXPECT_TRUE(log.contains(
      LogLevel::Error,
      R"(Failed after 3 attempts: MR creation failed: {"echo":{"PRIVATE-TOKEN":"[MASKED]"}})"));
  for (const std::string& line : log.lines()) EXPECT_THAT(line, Not(HasSubstr(kToken)));
}

}  // namespace
}  // namespace quillmere::gitlab_client_test

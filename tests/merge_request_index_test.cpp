// This tool's merge requests, learnt from one listing per state and page
// after page, and asked per branch only when the listing failed.
#include "quillmere/remote/merge_request_index.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/standins/standin_servers.h"
#include "tests/support/matchers.h"
#include "tests/support/process.h"

namespace quillmere::merge_request_index_test {
namespace {

using standins::GitLabStandin;
using Route = GitLabStandin::Route;

struct MergeRequestIndexTest : ::testing::Test {
  MergeRequestIndexTest() {
    env.set("no_proxy", "127.0.0.1,localhost");
    env.set("NO_PROXY", "127.0.0.1,localhost");
    settings.gitlab_url = gitlab.api_url();
    settings.gitlab_token = "stand-in-token";
    settings.project_id = "42";
  }

  // A merge request of this tool from `branch` into dev.
  void add(const std::string& branch) {
    gitlab.add_merge_request({{"source_branch", branch},
                              {"target_branch", "dev"},
                              {"title", branch},
                              {"labels", "project-onboarding,auto-generated"}});
  }

  // Pairs of a list request's parameters, in the order sent.
  std::vector<std::vector<std::pair<std::string, std::string>>> listings() const {
    std::vector<std::vector<std::pair<std::string, std::string>>> sent;
    for (const auto& request : gitlab.requests(Route::kListMergeRequests))
      sent.push_back(request.params);
    return sent;
  }

  testing::ScopedEnv env;
  CurlGlobal curl;
  GitLabStandin gitlab{GitLabStandin::Options{}};
  HttpClient http;
  Settings settings;
  RemoteContext remote{settings, http, retry_api_call(3, 1, [](long long) {})};
  testing::LogCapture log;
};

TEST_F(MergeRequestIndexTest, ListsEveryPageOnceAndAnswersEachBranchFromIt) {
  // 150 merge requests of this tool: two pages of the open ones.
  for (int i = 1; i <= 150; ++i) add("b-" + std::to_string(i));
  gitlab.close_merge_request(1);
  gitlab.close_merge_request(2);
  const size_t before = gitlab.requests().size();

  MergeRequestIndex index(remote, 3);
  EXPECT_EQ(index.open_merge_request("b-150", "dev").value()["iid"], 150);
  EXPECT_EQ(index.open_merge_request("b-3", "dev").value()["iid"], 3);
  EXPECT_FALSE(index.open_merge_request("b-1", "dev"));
  EXPECT_FALSE(index.open_merge_request("b-3", "prod"));
  EXPECT_EQ(index.closed_merge_request("b-1", "dev").value()["iid"], 1);
  EXPECT_FALSE(index.closed_merge_request("b-3", "dev"));
  EXPECT_EQ(index.open_count(), 148u);
  EXPECT_EQ(index.closed_count(), 2u);

  // As the stand-in records them: sorted by name.
  const auto page = [](const char* state, const char* number) {
    return std::vector<std::pair<std::string, std::string>>{{"author_id", "3"},
                                                            {"labels", "project-onboarding"},
                                                            {"page", number},
                                                            {"per_page", "100"},
                                                            {"state", state}};
  };

  EXPECT_THAT(listings(),
              ElementsAre(page("opened", "1"), page("opened", "2"), page("closed", "1")));
  EXPECT_EQ(gitlab.requests().size(), before + 3);
}

TEST_F(MergeRequestIndexTest, AFailedListingIsAWarningAndEachBranchIsAskedOnItsOwn) {
  add("b-1");
  gitlab.force_next(Route::kListMergeRequests, {500, R"({"message":"500 Internal Server Error"})"},
                    3);
  log.clear();

  // Without the token's user from its own record, GET /user names it.
  MergeRequestIndex index(remote, std::nullopt);
  EXPECT_EQ(index.open_merge_request("b-1", "dev").value()["iid"], 1);
  EXPECT_FALSE(index.closed_merge_request("b-1", "dev"));
  EXPECT_EQ(index.listing_failure(),
            "Merge request listing failed: {\"message\":\"500 Internal "
            "Server Error\"}");
  EXPECT_THAT(log.lines(), Contains("WARNING - ⚠️ Could not list this tool's merge requests: "
                                    "Merge request listing failed: {\"message\":\"500 Internal "
                                    "Server Error\"}; each request file asks GitLab about its own "
                                    "branch"));
  EXPECT_EQ(gitlab.requests(Route::kCurrentUser).size(), 1u);
  const auto sent = listings();
  ASSERT_EQ(sent.size(), 5u);  // three attempts, then one look-up per question
  EXPECT_THAT(sent[3], Contains(Pair("source_branch", "b-1")));
  EXPECT_THAT(sent[4], Contains(Pair("state", "closed")));
}

}  // namespace
}  // namespace quillmere::merge_request_index_test

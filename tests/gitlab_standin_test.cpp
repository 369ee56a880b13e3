// The stand-in GitLab's read-only routes, GET /user and GET /projects/:id:
// forced answers and the request record keep every route apart. Their
// statuses and bodies are in the stand-ins program's table
// (integration/remote_standins_program_test.cpp).
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include "tests/standins/standin_servers.h"

namespace quillmere {
namespace {

using standins::GitLabStandin;
using Route = GitLabStandin::Route;

TEST(GitLabStandinTest, ForcedAnswersAndRecordsKeepToTheirRoute) {
  GitLabStandin gitlab{GitLabStandin::Options{}};
  gitlab.force_next(Route::kProject, {503, R"({"message":"503 Service Unavailable"})"});
  gitlab.force_next(Route::kCurrentUser, {500, R"({"message":"500 Internal Server Error"})"});
  httplib::Client client(gitlab.base_url());
  const httplib::Headers token = {{"PRIVATE-TOKEN", "stand-in-token"}};
  const struct {
    const char* target;
    int status;
  } steps[] = {
      {"/api/v4/projects/42/merge_requests", 200},
      {"/api/v4/projects/42", 503},
      {"/api/v4/projects/42", 200},
      {"/api/v4/user", 500},
      {"/api/v4/user", 200},
  };
  for (const auto& step : steps) {
    const httplib::Result answer = client.Get(step.target, token);
    ASSERT_TRUE(answer) << step.target;
    EXPECT_EQ(answer->status, step.status) << step.target;
  }
  const auto statuses = [&](Route route) {
    std::vector<int> found;
    for (const auto& request : gitlab.requests(route)) found.push_back(request.status);
    return found;
  };
  EXPECT_THAT(statuses(Route::kListMergeRequests), ::testing::ElementsAre(200));
  EXPECT_THAT(statuses(Route::kProject), ::testing::ElementsAre(503, 200));
  EXPECT_THAT(statuses(Route::kCurrentUser), ::testing::ElementsAre(500, 200));
  EXPECT_EQ(gitlab.requests().size(), 5u);
}

}  // namespace
}  // namespace quillmere

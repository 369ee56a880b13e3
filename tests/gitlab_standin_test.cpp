// The stand-in GitLab's read-only routes, GET /user and GET /projects/:id:
// forced answers and the request record keep every route apart. Their
// statuses and bodies are in the stand-ins program's table
// (integration/remote_standins_program_test.cpp). Merge requests keep their
// state and head in a real bare repository, are listed as GitLab lists them,
// and are shaped as GitLab's own response schema has them.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include "tests/standins/standin_servers.h"
#include "tests/support/git_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::gitlab_standin_test {
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

TEST(GitLabStandinTest, MergeRequestsKeepStateAndHeadAndAreListedAsGitLabListsThem) {
  testing::TempDir root;
  testing::GitRemoteFixture git(root.path());
  for (const char* branch : {"b1", "b2", "b3"})
    testing::sh(std::string("git checkout -q -b ") + branch + " origin/dev && echo " + branch +
                    " > f && git add f && git -c user.name=T -c user.email=t@e commit -q -m " +
                    branch + " && git push -q origin " + branch,
                git.work());
  GitLabStandin::Options options;
  options.users = {{101, "alice", "Alice"}};
  options.git_remote = git.remote();
  GitLabStandin gitlab(options);
  httplib::Client client(gitlab.base_url());
  const httplib::Headers token = {{"PRIVATE-TOKEN", "stand-in-token"}};
  nlohmann::json seen = nlohmann::json::array();  // every object GitLab gave, for the schema
  for (const char* branch : {"b1", "b2", "b3"}) {
    const nlohmann::json body = {{"source_branch", branch}, {"target_branch", "dev"},
                                 {"title", branch},         {"labels", "project-onboarding,x"},
                                 {"reviewer_ids", {101}},   {"assignee_ids", {101}}};
    const httplib::Result created =
        client.Post("/api/v4/projects/42/merge_requests", token, body.dump(), "application/json");
    ASSERT_TRUE(created && created->status == 201);
    seen.push_back(nlohmann::json::parse(created->body));
  }
  const std::string b1_head = git.remote_git("rev-parse b1");
  EXPECT_EQ(seen[0]["sha"], b1_head);
  gitlab.close_merge_request(1, /*delete_branch=*/true);
  gitlab.merge_merge_request(2);
  EXPECT_FALSE(git.remote_has_branch("b1"));
  EXPECT_EQ(git.remote_git("rev-parse refs/merge-requests/1/head"), b1_head);
  EXPECT_EQ(git.remote_file("dev", "f"), "b2");
  // A push moves an open merge request's head, as GitLab follows it.
  testing::sh(
      "git checkout -q b3 && echo again >> f && git -c user.name=T -c user.email=t@e "
      "commit -qam again && git push -q origin b3",
      git.work());

  const std::string list = "/api/v4/projects/42/merge_requests?";
  const struct {
    std::string query;
    std::vector<int> iids;
    std::string next_page;
    std::string total;
  } rows[] = {
      {"", {3, 2, 1}, "", "3"},
      {"state=opened&labels=project-onboarding&author_id=3", {3}, "", "1"},
      {"state=closed&labels=project-onboarding,x", {1}, "", "1"},
      {"state=merged", {2}, "", "1"},
      {"state=all&author_id=99", {}, "", "0"},
      {"labels=other", {}, "", "0"},
      {"per_page=2&page=1", {3, 2}, "2", "3"},
      {"per_page=2&page=2", {1}, "", "3"},
      {"source_branch=b3&target_branch=dev", {3}, "", "1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.query);
    const httplib::Result answer = client.Get(list + row.query, token);
    ASSERT_TRUE(answer && answer->status == 200);
    std::vector<int> iids;
    for (const nlohmann::json& mr : nlohmann::json::parse(answer->body)) {
      iids.push_back(mr["iid"]);
      seen.push_back(mr);
    }
    EXPECT_EQ(iids, row.iids);
    EXPECT_EQ(answer->get_header_value("X-Next-Page"), row.next_page);
    EXPECT_EQ(answer->get_header_value("X-Total"), row.total);
  }
  const nlohmann::ordered_json b3 = gitlab.merge_request(3);
  EXPECT_EQ(b3["sha"], git.remote_git("rev-parse b3"));
  EXPECT_EQ(git.remote_git("rev-parse refs/merge-requests/3/head"), b3["sha"]);
  EXPECT_EQ(gitlab.merge_request(1)["state"], "closed");

  // Created, listed and looked up, every object is one GitLab's schema allows.
  testing::write_file(root / "objects.json", seen.dump());
  const std::string source_dir = QUILLMERE_SOURCE_DIR;
  const testing::ProcessResult check =
      testing::run_process({"/usr/bin/python3", source_dir + "/tests/standins/check-gitlab-schema",
                            source_dir + "/tests/standins/gitlab-schemas", root / "objects.json"},
                           root.path(), {});
  if (check.err.find("No module named 'jsonschema'") != std::string::npos)
    GTEST_SKIP() << "python3-jsonschema is not installed";
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
}

}  // namespace
}  // namespace quillmere::gitlab_standin_test

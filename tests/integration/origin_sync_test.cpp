// ORIGIN_SYNC with the real binary on the onboarding rig, both stand-ins
// keeping connections open as GitLab and Teams do: what each mode asks of
// origin, GitLab and Teams, counted, and a branch someone else pushes while
// a run is under way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

#include "tests/standins/standin_servers.h"
#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere::origin_sync_test {
namespace {

using standins::GitLabStandin;
using standins::RecordedRequest;
using ::testing::UnorderedElementsAreArray;

const std::vector<std::string> kRequests = {"ABC-1_dev_alpha.yaml", "ABC-2_staging_beta.yaml",
                                            "ABC-3_dev_gamma.yaml"};
const std::vector<std::string> kBranches = {"dev-ABC-1-alpha", "staging-ABC-2-beta",
                                            "dev-ABC-3-gamma"};

struct SyncRow {
  std::string sync;       // ORIGIN_SYNC
  std::string reviewers;  // REVIEWER_USERNAMES; carol is unknown to GitLab
  std::string fetch;      // the run's one fetch
  // The commands after the fetch that reach origin, for the branch BRANCH
  // into TARGET.
  std::vector<std::string> per_file;
  size_t user_searches;  // in the whole run
  std::string check_line;
};

void PrintTo(const SyncRow& row, std::ostream* out) { *out << row.sync; }

std::vector<SyncRow> sync_rows() {
  return {
      {"per-file",
       "alice, bob",
       "fetch origin",
       {"ls-remote --heads origin BRANCH", "ls-remote --heads origin TARGET", "pull",
        "push origin BRANCH"},
       6,
       "   ORIGIN_SYNC:  per-file: each file asks origin for its branch and its target, and "
       "pulls the target"},
      {"per-run",
       "alice, carol, bob",
       "fetch --prune origin +refs/heads/*:refs/remotes/origin/*",
       {"push --force-with-lease=refs/heads/BRANCH: origin BRANCH"},
       1 + 3 + 1,  // carol: one retry sequence for the run
       "   ORIGIN_SYNC:  per-run: branches and targets as the run's one fetch finds them, "
       "reviewers looked up once; each file reaches origin only with its push"},
  };
}

std::string with_branch(std::string command, const std::string& branch) {
  for (size_t at = command.find("BRANCH"); at != std::string::npos; at = command.find("BRANCH"))
    command.replace(at, 6, branch);
  if (const size_t at = command.find("TARGET"); at != std::string::npos)
    command.replace(at, 6, branch.substr(0, branch.find('-')));
  return command;
}

// The git commands that reach origin: those naming it, and the pull.
std::vector<std::string> origin_commands(const std::vector<std::string>& commands) {
  std::vector<std::string> reaching;
  for (const std::string& command : commands) {
    std::istringstream words(command);
    const std::vector<std::string> split{std::istream_iterator<std::string>(words), {}};
    if (command == "pull" || std::find(split.begin(), split.end(), "origin") != split.end())
      reaching.push_back(command);
  }
  return reaching;
}

size_t connections(const std::vector<RecordedRequest>& requests) {
  std::set<std::string> clients;
  for (const RecordedRequest& request : requests) clients.insert(request.client);
  return clients.size();
}

class OriginSyncTest : public ::testing::TestWithParam<SyncRow>, protected testing::OnboardingRig {
 protected:
  OriginSyncTest() : OnboardingRig(standins::kServiceKeepAlive) {}

  testing::Environment env() const {
    testing::Environment env = traced(environment());
    env["ORIGIN_SYNC"] = GetParam().sync;
    env["REVIEWER_USERNAMES"] = GetParam().reviewers;
    return env;
  }
};

TEST_P(OriginSyncTest, WhatEachFileAsksOfOriginGitLabAndTeams) {
  const SyncRow& row = GetParam();
  for (const std::string& name : kRequests) add_request(name, "owner: team\n");
  // origin's dev has moved on since the working copy last looked.
  testing::sh(
      "git clone -q remote.git ahead && cd ahead && git -c user.name=S -c user.email=s@e "
      "commit -q --allow-empty -m ahead && git push -q origin dev",
      root.path());
  const testing::ProcessResult check = run_with(env(), {"--check"});
  EXPECT_THAT(testing::split_lines(check.out), Contains(row.check_line)) << check.out;
  forget_git_commands();
  const size_t checked = gitlab.requests().size();

  const testing::ProcessResult result = run_with(env());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<std::string> records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Processing complete: 3 succeeded, 0 failed"));
  EXPECT_EQ(row.sync == "per-run",
            std::count(records.begin(), records.end(), "INFO - ORIGIN_SYNC: per-run") == 1);

  std::vector<std::string> expected = {row.fetch};
  for (const std::string& branch : kBranches)
    for (const std::string& command : row.per_file)
      expected.push_back(with_branch(command, branch));
  const std::vector<std::string> reaching = origin_commands(git_commands());
  ASSERT_FALSE(reaching.empty());
  EXPECT_EQ(reaching.front(), row.fetch);
  EXPECT_THAT(reaching, UnorderedElementsAreArray(expected));
  EXPECT_EQ(git.remote_git("rev-parse dev-ABC-1-alpha^"), git.remote_git("rev-parse dev"));

  std::vector<RecordedRequest> requests = gitlab.requests();
  requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(checked));
  EXPECT_EQ(
      std::count_if(requests.begin(), requests.end(),
                    [](const RecordedRequest& request) { return request.path == "/api/v4/users"; }),
      row.user_searches);
  EXPECT_EQ(gitlab.requests(GitLabStandin::Route::kCreateMergeRequest).size(), 3u);
  for (const auto& post : gitlab.requests(GitLabStandin::Route::kCreateMergeRequest))
    EXPECT_EQ(post.json_body()["reviewer_ids"], nlohmann::ordered_json({101, 102}));
  EXPECT_EQ(teams.cards().size(), 3u);
  // Every file still logs its reviewers, and the unknown one each time.
  const bool carol = row.reviewers.find("carol") != std::string::npos;
  EXPECT_THAT(records, Contains(carol ? "INFO - 👥 Reviewers: ['alice', 'carol', 'bob']"
                                      : "INFO - 👥 Reviewers: ['alice', 'bob']")
                           .Times(3));
  EXPECT_THAT(records,
              Contains("WARNING - Could not find GitLab user: carol - User not found: carol")
                  .Times(carol ? 3 : 0));
  // One connection to each server for the whole run, whatever the mode.
  EXPECT_EQ(connections(requests), 1u);
  EXPECT_EQ(connections(teams.requests()), 1u);
}

// Someone else pushes the second file's branch, at the target's tip, as soon
// as the first file's branch arrives. Asking origin per file refuses it; the
// run's fetch knows nothing of it, so the push fails (though it would only
// have fast-forwarded it) and is rolled back. The next run refuses it either way.
TEST_P(OriginSyncTest, ABranchPushedByOthersDuringTheRun) {
  const std::vector<std::string> requests = {"ABC-1_dev_alpha.yaml", "ABC-3_dev_gamma.yaml"};
  for (const std::string& name : requests) add_request(name, "owner: team\n");
  const std::string hook = git.remote() + "/hooks/post-receive";
  testing::write_file(hook,
                      "#!/bin/sh\nwhile read old new ref; do case $ref in\n"
                      "  refs/heads/dev-ABC-1-alpha) other=dev-ABC-3-gamma ;;\n"
                      "  refs/heads/dev-ABC-3-gamma) other=dev-ABC-1-alpha ;;\n"
                      "  *) continue ;; esac\n"
                      "  git rev-parse -q --verify refs/heads/$other >/dev/null ||"
                      " git update-ref refs/heads/$other refs/heads/dev\ndone\n");
  testing::sh("chmod +x '" + hook + "'");

  testing::ProcessResult result = run_with(env());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  std::vector<std::string> records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Processing complete: 1 succeeded, 1 failed"));
  const bool alpha_first =
      std::find(records.begin(), records.end(),
                "INFO - ✅ Successfully pushed branch: dev-ABC-1-alpha") != records.end();
  const std::string other = alpha_first ? "dev-ABC-3-gamma" : "dev-ABC-1-alpha";
  const std::string other_file = alpha_first ? requests[1] : requests[0];
  const std::string exists = "Branch " + other + " already exists! Skipping to avoid conflicts.";
  const std::string refused = "ERROR - ❌ Failed to process " + other_file + ": ";
  if (GetParam().sync == "per-file") {
    EXPECT_THAT(records, Contains(refused + exists));
  } else {
    EXPECT_THAT(records, Contains(AllOf(StartsWith(refused +
                                                   "Command failed: git push "
                                                   "--force-with-lease=refs/heads/" +
                                                   other + ": origin " + other + "\nError: "),
                                        HasSubstr("(stale info)"))));
    EXPECT_THAT(records, Contains("INFO - 🔄 Rolled back: deleted branch " + other));
  }
  EXPECT_FALSE(git.local_has_branch(other));
  EXPECT_EQ(git.remote_git("rev-parse " + other), git.remote_git("rev-parse dev"));

  testing::sh("rm '" + hook + "'");
  result = run_with(env());
  records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains(refused + exists).Times(GetParam().sync == "per-file" ? 2 : 1));
  EXPECT_THAT(records, Contains("INFO - Processing complete: 1 succeeded, 1 failed").Times(2));
  EXPECT_EQ(gitlab.merge_requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(OriginSync, OriginSyncTest, ::testing::ValuesIn(sync_rows()),
                         [](const ::testing::TestParamInfo<SyncRow>& row_info) {
                           return row_info.param.sync == "per-run" ? "PerRun" : "PerFile";
                         });

TEST(OriginSyncSettingTest, AnyOtherValueIsAFatalErrorNamingIt) {
  testing::OnboardingRig rig;
  rig.add_request(kRequests[0], "owner: team\n");
  const testing::ProcessResult result = rig.run({{"ORIGIN_SYNC", "per-branch"}});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_THAT(testing::log_records(rig.log_text()),
              Contains("ERROR - Fatal error: ORIGIN_SYNC must be per-file or per-run: per-branch"));
  EXPECT_FALSE(rig.git.remote_has_branch(kBranches[0]));
}

}  // namespace
}  // namespace quillmere::origin_sync_test

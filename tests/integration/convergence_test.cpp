// One request file gives exactly one merge request and one card, whatever the
// first merge request creation meets: an answer lost after GitLab created the
// merge request, a garbled answer, throttling, or a connection dropped before
// anything was created. The real binary runs on the onboarding rig.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/standins/standin_servers.h"
#include "tests/support/loopback_port.h"
#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere::convergence_test {
namespace {

using standins::ForcedAnswer;
using standins::GitLabStandin;
namespace faults = standins::merge_request_faults;

constexpr const char* kRequestName = "onboard-payments.yaml";
constexpr const char* kRequest = "ticket: ABC-1\nenvironment: Dev\nproject: payments\n";
constexpr const char* kBranch = "dev-ABC-1-payments";
constexpr const char* kFoundLine = "INFO - 🔗 Found the open merge request: ";

struct FaultRow {
  std::string name;
  std::vector<ForcedAnswer> first_posts;    // what the first creations meet, in order
  std::vector<ForcedAnswer> first_lookups;  // what the first merge request lookups meet
  bool answer_lost = false;     // GitLab created it but the program never read the answer
  bool meets_conflict = false;  // some POST must meet the duplicate rule's 409
  int retry_after = 0;          // seconds GitLab asked the program to wait
  size_t posts = 1;             // merge request POSTs in all: no 409 may rescue a lost answer
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

// GitLab created the merge request and then answered with `answer`.
ForcedAnswer created_then(ForcedAnswer answer) {
  answer.serve_first = true;
  return answer;
}

std::vector<FaultRow> fault_rows() {
  const ForcedAnswer duplicate{
      409, R"({"message":["Another open merge request already exists for this source branch"]})"};
  return {
      {"create_then_drop", {faults::create_then_drop()}, {}, true},
      {"created_non_json", {faults::created_non_json()}, {}, true},
      // GitLab's list lags behind the creation: the first lookup (after the run's
      // listing of open and closed ones) misses the merge request, the next POST
      // meets 409 and the program must look again.
      {"conflict_after_lost_answer",
       {faults::create_then_drop()},
       {{200, "[]"}, {200, "[]"}, {200, "[]"}},
       true,
       true,
       0,
       2},
      {"too_many_requests", {faults::too_many_requests(2)}, {}, false, false, 2, 2},
      {"drop", {faults::drop()}, {}, false, false, 0, 2},
      // A 5xx may come after the creation: the next attempt looks first.
      {"created_then_server_error", {created_then(faults::server_error())}, {}, true},
      // A 409 whose merge request is not listed yet: the next attempt looks
      // again instead of posting once more.
      {"conflict_not_listed_yet", {created_then(duplicate)}, {{200, "[]"}}, true, true},
  };
}

class ConvergenceTest : public ::testing::TestWithParam<FaultRow>,
                        protected testing::OnboardingRig {};

TEST_P(ConvergenceTest, OneRequestGivesOneMergeRequestAndOneCard) {
  const FaultRow& row = GetParam();
  for (const ForcedAnswer& answer : row.first_posts)
    gitlab.force_next(GitLabStandin::Route::kCreateMergeRequest, answer);
  for (const ForcedAnswer& answer : row.first_lookups)
    gitlab.force_next(GitLabStandin::Route::kListMergeRequests, answer);
  add_request(kRequestName, kRequest);

  const auto started = std::chrono::steady_clock::now();
  const testing::ProcessResult result = run();
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<std::string> records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Processing complete: 1 succeeded, 0 failed"));
  EXPECT_TRUE(git.remote_has_branch(kBranch));

  const auto created = gitlab.merge_requests();
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["source_branch"], kBranch);
  const std::string web_url = created[0]["web_url"];
  const auto cards = teams.cards();
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0]["potentialAction"][0]["targets"][0]["uri"], web_url);

  if (row.answer_lost)
    EXPECT_THAT(records, Contains(kFoundLine + web_url));
  else
    EXPECT_THAT(records, Not(Contains(StartsWith(kFoundLine))));

  const auto posts = gitlab.requests(GitLabStandin::Route::kCreateMergeRequest);
  EXPECT_EQ(posts.size(), row.posts);
  EXPECT_EQ(
      std::any_of(posts.begin(), posts.end(), [](const auto& post) { return post.status == 409; }),
      row.meets_conflict);
  // Every look-up but the run's one listing names the branch, its target and
  // the open state.
  for (const auto& lookup : gitlab.requests(GitLabStandin::Route::kListMergeRequests))
    if (std::none_of(lookup.params.begin(), lookup.params.end(),
                     [](const auto& param) { return param.first == "author_id"; })) {
      EXPECT_THAT(lookup.params, ::testing::UnorderedElementsAre(Pair("state", "opened"),
                                                                 Pair("source_branch", kBranch),
                                                                 Pair("target_branch", "dev")));
    }

  if (row.retry_after > 0) {
    const std::string wait = std::to_string(row.retry_after);
    EXPECT_THAT(records, Contains("INFO - Retrying in " + wait + " seconds (Retry-After)..."));
    EXPECT_GE(took, std::chrono::seconds(row.retry_after));
  }
}

INSTANTIATE_TEST_SUITE_P(FirstMergeRequestPost, ConvergenceTest, ::testing::ValuesIn(fault_rows()),
                         [](const ::testing::TestParamInfo<FaultRow>& row_info) {
                           return row_info.param.name;
                         });

// A POST that never left (nothing listening, a certificate the run does not
// trust) cannot have created anything: every attempt is the whole attempt.
class NothingSentTest : public ::testing::TestWithParam<const char*>,
                        protected testing::OnboardingRig {};

TEST_P(NothingSentTest, EveryAttemptIsTheFullAttempt) {
  testing::Environment env = environment();
  env.erase("REVIEWER_USERNAMES");  // each look-up would wait out its own retries
  if (std::string(GetParam()) == "nothing_listening")
    env["GITLAB_URL"] =
        "https://127.0.0.1:" + std::to_string(testing::unused_loopback_port()) + "/api/v4";
  else
    env["SSL_CERT_FILE"] = "/etc/ssl/certs/ca-certificates.crt";  // not the stand-in's CA
  add_request(kRequestName, kRequest);
  const auto started = std::chrono::steady_clock::now();
  const testing::ProcessResult result = run_with(env);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<std::string> records = testing::log_records(log_text());
  for (const std::string line :
       {"INFO - 👥 Reviewers: []", "INFO - 📬 Creating Merge Request for project payments..."})
    EXPECT_EQ(std::count(records.begin(), records.end(), line), 3) << line;
  EXPECT_THAT(records, Contains(StartsWith("ERROR - Failed after 3 attempts: ")));
  EXPECT_THAT(records, Contains("INFO - Processing complete: 0 succeeded, 1 failed"));
  EXPECT_TRUE(gitlab.requests().empty());
  EXPECT_TRUE(git.remote_has_branch(kBranch));
}

INSTANTIATE_TEST_SUITE_P(GitLab, NothingSentTest,
                         ::testing::Values("nothing_listening", "untrusted_certificate"));

// Requests whose work is done, whatever became of their branches, are
// already onboarded: no branch, no POST, no card; the dry run says so first.
class DoneRequestsTest : public ::testing::Test, protected testing::OnboardingRig {};

TEST_F(DoneRequestsTest, AreAlreadyOnboardedAndCostNoBranchOrMergeRequest) {
  const std::vector<std::pair<std::string, std::string>> done = {
      {"ABC-11_dev_merged.yaml", "owner: team-merged\n"},
      {"ABC-12_dev_kept.yaml", "owner: team-kept\n"},
      {"ABC-13_dev_squashed.yaml", "owner: team-squashed\n"},
  };
  const std::string updated = "ABC-14_dev_updated.yaml", fresh = "ABC-15_dev_fresh.yaml";
  for (const auto& [name, content] : done) add_request(name, content);
  add_request(updated, "owner: team-updated\n");
  add_request(fresh, "owner: team-fresh\n");
  // As they were merged: branch deleted, branch kept, squashed with the branch kept.
  testing::sh(
      "git clone -q remote.git other && cd other && git config user.name S && "
      "git config user.email s@e && cp ../requests/ABC-11_dev_merged.yaml . && git add -A && "
      "git commit -q -m 'ABC-11: onboard merged to dev environment' && "
      "git checkout -q -b dev-ABC-12-kept && cp ../requests/ABC-12_dev_kept.yaml . && "
      "git add -A && git commit -q -m 'ABC-12: onboard kept to dev environment' && "
      "git checkout -q dev && git merge -q --no-ff -m merged dev-ABC-12-kept && "
      "git checkout -q -b dev-ABC-13-squashed && cp ../requests/ABC-13_dev_squashed.yaml . && "
      "git add -A && git commit -q -m 'ABC-13: onboard squashed to dev environment' && "
      "git checkout -q dev && git merge -q --squash dev-ABC-13-squashed && git commit -q -m sq && "
      "echo 'owner: older' > " +
          updated +
          " && git add -A && git commit -q -m older && "
          "git push -q origin dev dev-ABC-12-kept dev-ABC-13-squashed && cd ../work && git fetch "
          "-q",
      root.path());
  const std::string refs_before = git.remote_git("for-each-ref");

  const testing::ProcessResult check = run_with(traced(environment()), {"--check"});
  const std::vector<std::string> lines = testing::split_lines(check.out);
  EXPECT_THAT(lines, Contains("   compared with origin as last fetched: a dry run does not fetch"));
  for (const auto& [name, content] : done)
    EXPECT_THAT(lines, Contains("   ✅ already onboarded: dev already holds " + name)) << check.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "   ✅ would be onboarded"), 2) << check.out;
  EXPECT_THAT(git_commands(), Not(Contains(StartsWith("fetch"))));
  EXPECT_EQ(git.remote_git("for-each-ref"), refs_before);

  forget_git_commands();
  const testing::ProcessResult first = run_with(traced(environment()));
  std::vector<std::string> records = testing::log_records(log_text());
  for (const auto& [name, content] : done)
    EXPECT_THAT(records, Contains("INFO - ✅ Already onboarded: dev already holds " + name));
  EXPECT_THAT(records, Contains("INFO - Processing complete: 5 succeeded, 0 failed"));
  const std::vector<std::string> commands = git_commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "fetch origin"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "cat-file --batch-check"), 1);
  const auto created = gitlab.merge_requests();
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0]["source_branch"].get<std::string>() +
                created[1]["source_branch"].get<std::string>(),
            "dev-ABC-14-updateddev-ABC-15-fresh");
  EXPECT_EQ(teams.cards().size(), 2u);
  EXPECT_FALSE(git.remote_has_branch("dev-ABC-11-merged") ||
               git.local_has_branch("dev-ABC-11-merged"));
  EXPECT_THAT(records, Not(Contains(HasSubstr("Working on branch: dev-ABC-11"))));

  // A second run, now with DONE_DIR, creates nothing and moves every file.
  testing::Environment with_done = environment();
  with_done["DONE_DIR"] = root / "done";
  run_with(traced(with_done));
  records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Processing complete: 5 succeeded, 0 failed").Times(2));
  EXPECT_EQ(gitlab.requests(GitLabStandin::Route::kCreateMergeRequest).size(), 2u);
  EXPECT_EQ(teams.cards().size(), 2u);
  for (const auto& [name, content] : done)
    EXPECT_EQ(testing::read_file(root / "done/" + name), content);
  EXPECT_TRUE(testing::file_exists(root / "done/" + fresh));
}

TEST_F(DoneRequestsTest, AThousandDoneFilesCostOneFetchOneComparisonAndOneHash) {
  testing::sh(
      "git clone -q remote.git other && cd other && for i in $(seq 1000); do "
      "printf 'ticket: D-%d\\nenvironment: dev\\nproject: p%d\\n' $i $i > done-$i.yaml; "
      "done && cp done-*.yaml ../requests/ && git add -A && "
      "git -c user.name=S -c user.email=s@e commit -q -m done && git push -q origin dev",
      root.path());
  const testing::ProcessResult result = run_with(traced(environment()));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_THAT(testing::log_records(log_text()),
              Contains("INFO - Processing complete: 1000 succeeded, 0 failed"));
  EXPECT_THAT(git_commands(),
              ::testing::ElementsAre("status --porcelain", "fetch origin", "cat-file --batch-check",
                                     HasSubstr(" hash-object --stdin-paths")));
  // Nothing but the look-up of the token's expiry.
  EXPECT_EQ(gitlab.requests().size(),
            gitlab.requests(standins::GitLabStandin::Route::kTokenSelf).size());
  EXPECT_TRUE(teams.requests().empty());
}

}  // namespace
}  // namespace quillmere::convergence_test

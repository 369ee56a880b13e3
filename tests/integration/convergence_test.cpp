// One request file gives exactly one merge request and one card, whatever the
// first merge request creation meets: an answer lost after GitLab created the
// merge request, a garbled answer, throttling, or a connection dropped before
// anything was created. The real binary runs on the onboarding rig.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/standins/standin_servers.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere {
namespace {

using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;
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
  bool answer_lost = false;  // GitLab created it but the program never read the answer
  bool meets_conflict = false;  // some POST must meet the duplicate rule's 409
  int retry_after = 0;          // seconds GitLab asked the program to wait
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

// GitLab's list can lag behind a creation for a moment: the first lookup then
// misses the merge request, the next POST meets 409 and the program must look
// again.
ForcedAnswer lagging_empty_list() { return {200, "[]"}; }

std::vector<FaultRow> fault_rows() {
  return {
      {"create_then_drop", {faults::create_then_drop()}, {}, true},
      {"created_non_json", {faults::created_non_json()}, {}, true},
      {"conflict_after_lost_answer", {faults::create_then_drop()}, {lagging_empty_list()}, true,
       true},
      {"too_many_requests", {faults::too_many_requests(2)}, {}, false, false, 2},
      {"drop", {faults::drop()}, {}},
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

  if (row.meets_conflict) {
    const auto posts = gitlab.requests(GitLabStandin::Route::kCreateMergeRequest);
    EXPECT_TRUE(std::any_of(posts.begin(), posts.end(),
                            [](const auto& post) { return post.status == 409; }));
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

}  // namespace
}  // namespace quillmere

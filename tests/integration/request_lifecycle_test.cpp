// A request file kept in place over three runs of the real binary, as a
// scheduled job keeps it, while people review its merge request: an edit
// while it is open updates it, a merge request closed without merging is not
// proposed again until the request changes, an edit after the merge is a new
// merge request, and a person's commit on the tool's branch is refused.
// Before each run, --check gives the same verdict and changes nothing.
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere::request_lifecycle_test {
namespace {

using nlohmann::json;
using standins::GitLabStandin;
using Route = GitLabStandin::Route;

constexpr const char* kName = "OPS-1_dev_alpha.yaml";
constexpr const char* kBranch = "dev-OPS-1-alpha";
constexpr const char* kFirst = "owner: team-alpha\n";
constexpr const char* kEdited = "owner: team-alpha\nsize: large\n";
constexpr const char* kOnboardMessage = "OPS-1: onboard alpha to dev environment";
constexpr const char* kUpdateMessage = "OPS-1: update alpha for dev environment";

class LifecycleRig : protected testing::OnboardingRig {
 public:
  // What people do between runs.
  void edit_request() const { add_request(kName, kEdited); }
  void close(bool delete_branch) { gitlab.close_merge_request(1, delete_branch); }
  void merge() { gitlab.merge_merge_request(1); }
  // A person's commit, pushed to the tool's branch.
  void commit_by_hand() const {
    testing::sh(std::string("git clone -q remote.git hand && cd hand && git checkout -q ") +
                    kBranch +
                    " && echo note > NOTES.md && git add NOTES.md && git -c "
                    "user.name=Person -c user.email=p@e commit -q -m 'notes' && git push -q",
                root.path());
  }

 protected:
  LifecycleRig() {
    testing::make_dir(root / "out");
    env_ = environment();
    env_["REPORT_FILE"] = root / "out/report.json";
    env_["METRICS_FILE"] = root / "out/quillmere.prom";
    env_["FAILED_FILES_EXIT_STATUS"] = "3";
  }

  std::string url(long long iid) const {
    return gitlab.merge_requests().at(static_cast<size_t>(iid - 1))["web_url"];
  }
  // "URL1", "URL2" in `text` replaced by those merge requests' addresses.
  std::string with_urls(std::string text) const {
    for (long long iid : {1, 2})
      for (size_t at; (at = text.find("URL" + std::to_string(iid))) != std::string::npos;)
        text.replace(at, 4, url(iid));
    return text;
  }
  // The branches of the remote (GitLab keeps refs/merge-requests/ itself),
  // and with them every ref of the working copy.
  std::string remote_branches() const { return git.remote_git("for-each-ref refs/heads"); }
  std::string refs() const { return remote_branches() + "\n" + git.git("for-each-ref"); }
  // The subjects of the commits on the branch beyond origin's dev, newest first.
  std::vector<std::string> branch_subjects() const {
    if (!git.remote_has_branch(kBranch)) return {};
    return testing::split_lines(
        git.remote_git(std::string("log --format=%s dev..refs/heads/") + kBranch));
  }

  testing::Environment env_;
};

// What people did before a run, and what the dry run and the run then show.
struct RunStep {
  std::function<void(LifecycleRig&)> before;
  std::string verdict;  // the dry run's line for the file ("URL1": merge request 1's address)
  std::string told;     // the run's record for the file
  std::string outcome;
  size_t merge_requests;              // GitLab's merge requests after the run
  size_t cards;                       // Teams cards after the run
  std::vector<std::string> subjects;  // the branch's commits beyond dev afterwards, newest first
};

struct Road {
  std::string name;
  std::function<void(LifecycleRig&)> after_first;
  RunStep second;
  RunStep third;
};

void PrintTo(const Road& road, std::ostream* out) { *out << road.name; }

class LifecycleTest : public ::testing::TestWithParam<Road>, public LifecycleRig {};

std::vector<Road> roads() {
  const auto edit = [](LifecycleRig& rig) { rig.edit_request(); };
  const auto close = [](bool delete_branch) {
    return [=](LifecycleRig& rig) { rig.close(delete_branch); };
  };
  const auto nothing = [](LifecycleRig&) {};
  const std::string branch = kBranch, file = kName;
  const std::string exists = "Branch " + branch + " already exists! Skipping to avoid conflicts.";
  const std::vector<std::string> onboarded = {kOnboardMessage};
  const std::vector<std::string> updated = {kUpdateMessage, kOnboardMessage};
  const auto declined = [&](std::vector<std::string> subjects) {
    return RunStep{nothing,
                   "   🚫 declined: URL1 was closed without merging",
                   "WARNING - 🚫 Declined: merge request URL1 was closed without merging; change "
                   "the request file to propose it again, or remove it",
                   "declined",
                   1,
                   1,
                   std::move(subjects)};
  };
  const auto proposed_again = [&](std::vector<std::string> subjects) {
    return RunStep{edit, "   ✅ would propose again", "INFO - 🎉 MR Created: URL2", "onboarded", 2,
                   2,    std::move(subjects)};
  };
  const auto already = [&](const std::string& url, size_t merge_requests, size_t cards,
                           std::vector<std::string> subjects) {
    return RunStep{nothing,
                   "   ✅ already onboarded: the open merge request is " + url,
                   "INFO - ✅ Already onboarded: " + branch + " has the open merge request " + url,
                   "already_onboarded",
                   merge_requests,
                   cards,
                   std::move(subjects)};
  };
  const RunStep refused = {nothing,
                           "   ❌ would fail: " + exists,
                           "ERROR - ❌ Failed to process " + file + ": " + exists,
                           "failed",
                           1,
                           1,
                           {"notes", kOnboardMessage}};
  RunStep refused_edited = refused;
  refused_edited.before = edit;
  return {
      {"edited_while_open",
       edit,
       {nothing, "   ✅ would update merge request URL1",
        "INFO - ✏️ Updated merge request: URL1", "updated", 1, 2, updated},
       already("URL1", 1, 2, updated)},
      {"closed_branch_kept", close(false), declined(onboarded), declined(onboarded)},
      {"closed_branch_deleted", close(true), declined({}), declined({})},
      {"closed_then_edited_branch_kept", close(false), declined(onboarded),
       proposed_again(updated)},
      {"closed_then_edited_branch_deleted", close(true), declined({}), proposed_again(updated)},
      {"edited_after_the_merge", [](LifecycleRig& rig) { rig.merge(); },
       proposed_again({kUpdateMessage}), already("URL2", 2, 2, {kUpdateMessage})},
      {"a_persons_commit_on_the_branch", [](LifecycleRig& rig) { rig.commit_by_hand(); },
       refused_edited, refused},
  };
}

TEST_P(LifecycleTest, ThreeRunsTellTheRequestsStory) {
  const Road& road = GetParam();
  add_request(kName, kFirst);
  ASSERT_EQ(run_with(env_).exit_status, 0);
  ASSERT_EQ(gitlab.merge_requests().size(), 1u);
  road.after_first(*this);

  for (const RunStep* run : {&road.second, &road.third}) {
    SCOPED_TRACE(run == &road.second ? "second run" : "third run");
    run->before(*this);
    const std::string refs_before = refs(), branches_before = remote_branches();
    const size_t posts_before = gitlab.requests(Route::kCreateMergeRequest).size();
    const size_t cards_before = teams.requests().size();

    // The dry run first: the verdict, and nothing changed, nothing posted.
    const testing::ProcessResult check = run_with(env_, {"--check"});
    EXPECT_THAT(testing::split_lines(check.out), Contains(with_urls(run->verdict))) << check.out;
    EXPECT_EQ(refs(), refs_before);
    EXPECT_EQ(gitlab.requests(Route::kCreateMergeRequest).size(), posts_before);
    EXPECT_EQ(teams.requests().size(), cards_before);

    const testing::ProcessResult result = run_with(env_);
    EXPECT_EQ(result.exit_status, run->outcome == "failed" ? 3 : 0) << result.err;
    EXPECT_TRUE(testing::RunLog(result.err).has(with_urls(run->told))) << result.err;
    EXPECT_EQ(json::parse(testing::read_file(root / "out/report.json"))["files"][0]["outcome"],
              run->outcome);
    EXPECT_THAT(testing::read_file(root / "out/quillmere.prom"),
                HasSubstr("quillmere_last_run_files{project_id=\"42\",outcome=\"" + run->outcome +
                          "\"} 1"));
    // Only the roads that open or update a merge request push.
    EXPECT_EQ(remote_branches() != branches_before, run->cards > cards_before);
    EXPECT_EQ(gitlab.merge_requests().size(), run->merge_requests);
    EXPECT_EQ(teams.cards().size(), run->cards);
    EXPECT_EQ(branch_subjects(), run->subjects);
    if (run->outcome == "updated") {
      // The merge request's card with its own title and status, the rest as it was.
      json opened = teams.cards().front(), update = teams.cards().back();
      EXPECT_EQ(update["title"], "✏️ Project Onboarding updated: alpha");
      EXPECT_EQ(update["sections"][0]["facts"][10]["value"],
                "🟡 Open — Updated, awaiting review");
      for (json* card : {&opened, &update}) {
        card->erase("title");
        (*card)["sections"][0]["facts"].erase(10);
      }
      EXPECT_EQ(update, opened);
    }
  }
  // Whatever reached the branch last is what the request file holds now.
  if (git.remote_has_branch(kBranch) && road.name != "a_persons_commit_on_the_branch") {
    EXPECT_EQ(git.remote_file(kBranch, kName) + "\n",
              testing::read_file(root / "requests/" + kName));
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, LifecycleTest, ::testing::ValuesIn(roads()),
                         [](const ::testing::TestParamInfo<Road>& road) {
                           return road.param.name;
                         });

class LifecycleLoadTest : public ::testing::Test, protected LifecycleRig {};

// Fifty files already proposed and still open cost the start-up call and a
// listing page per state, not a GitLab request per file.
TEST_F(LifecycleLoadTest, FiftyOpenRequestsCostTwoListingPages) {
  // Their branches, each the tool's commit of its file on dev, made in one
  // git process.
  const std::string dev = git.remote_git("rev-parse dev");
  std::string stream;
  const auto data = [](const std::string& text) {
    return "data " + std::to_string(text.size()) + "\n" + text + "\n";
  };
  for (int i = 1; i <= 50; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = "OPS-" + n + "_dev_p" + n + ".yaml", content = "owner: t" + n + "\n";
    add_request(name, content);
    stream += "blob\nmark :" + n + "\n" + data(content) + "commit refs/heads/dev-OPS-" + n + "-p" +
              n + "\ncommitter T <t@e> 0 +0000\n" +
              data("OPS-" + n + ": onboard p" + n + " to dev environment\n") + "from " + dev +
              "\nM 100644 :" + n + " " + name + "\n";
    gitlab.add_merge_request({{"source_branch", "dev-OPS-" + n + "-p" + n},
                              {"target_branch", "dev"},
                              {"title", "OPS-" + n},
                              {"labels", "project-onboarding,auto-generated"}});
  }
  testing::write_file(root / "stream", stream);
  testing::sh("git --git-dir=remote.git fast-import --quiet < stream", root.path());

  const testing::ProcessResult result = run_with(env_);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(testing::RunLog(result.err).has("INFO - Processing complete: 50 succeeded, 0 failed"))
      << result.err;
  EXPECT_EQ(gitlab.requests(Route::kTokenSelf).size(), 1u);
  EXPECT_EQ(gitlab.requests(Route::kListMergeRequests).size(), 2u);
  EXPECT_EQ(gitlab.requests().size(), 3u);
  EXPECT_TRUE(teams.requests().empty());
}

}  // namespace
}  // namespace quillmere::request_lifecycle_test

// Requests compared with what git stores, by blob id: a request written with
// CRLF line endings in a repository that normalises them is onboarded once
// and already onboarded ever after, and neither a huge blob on a target nor
// many large request files cost the run their size in memory.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere::stored_requests_test {
namespace {

using standins::GitLabStandin;
using testing::ProcessResult;

constexpr const char* kName = "ABC-1_dev_crlf.yaml";
constexpr const char* kBranch = "dev-ABC-1-crlf";
constexpr const char* kCrlf = "owner: team-crlf\r\nnote: written on Windows\r\n";
// As the remote stores it (remote_file() trims the last line feed).
constexpr const char* kStored = "owner: team-crlf\nnote: written on Windows";

struct LineEndingRule {
  std::string label;
  std::string attributes;     // .gitattributes committed on the targets; empty: none
  std::string global_config;  // the service user's ~/.gitconfig; empty: none
};

void PrintTo(const LineEndingRule& rule, std::ostream* out) { *out << rule.label; }

class CrlfRequestTest : public ::testing::TestWithParam<LineEndingRule>,
                        protected testing::OnboardingRig {};

TEST_P(CrlfRequestTest, IsOnboardedOnceThenAlreadyOnboardedBeforeAndAfterTheMerge) {
  const LineEndingRule& rule = GetParam();
  testing::Environment env = environment();
  testing::make_dir(root / "home");
  env["HOME"] = root / "home";
  if (!rule.global_config.empty())
    testing::write_file(root / "home/.gitconfig", rule.global_config);
  testing::sh("git clone -q remote.git other", root.path());
  if (!rule.attributes.empty()) {
    testing::write_file(root / "other/.gitattributes", rule.attributes);
    testing::sh(
        "git add .gitattributes && git -c user.name=S -c user.email=s@e commit -q -m eol "
        "&& git push -q origin dev",
        root / "other");
  }
  add_request(kName, kCrlf);

  std::vector<std::string> records;
  const auto run_and_read = [&] {
    const ProcessResult result = run_with(env);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    records = testing::log_records(log_text());
  };
  run_and_read();
  EXPECT_THAT(records, Contains("INFO - Processing complete: 1 succeeded, 0 failed"));
  EXPECT_EQ(git.remote_file(kBranch, kName), kStored);

  run_and_read();
  const std::string web_url = gitlab.merge_requests().at(0)["web_url"];
  EXPECT_THAT(records, Contains("INFO - ✅ Already onboarded: " + std::string(kBranch) +
                                " has the open merge request " + web_url));

  testing::sh("git pull -q && git merge -q --no-ff -m merged origin/" + std::string(kBranch) +
                  " && git push -q origin dev",
              root / "other");
  run_and_read();
  EXPECT_THAT(records,
              Contains("INFO - ✅ Already onboarded: dev already holds " + std::string(kName)));
  EXPECT_THAT(records, Contains("INFO - Processing complete: 1 succeeded, 0 failed").Times(3));
  EXPECT_THAT(records, Not(Contains(StartsWith("ERROR"))));
  EXPECT_EQ(gitlab.requests(GitLabStandin::Route::kCreateMergeRequest).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    NormalisingRepositories, CrlfRequestTest,
    ::testing::Values(LineEndingRule{"eol_lf", "* text=auto eol=lf\n", ""},
                      LineEndingRule{"autocrlf_input", "", "[core]\n\tautocrlf = input\n"}),
    [](const ::testing::TestParamInfo<LineEndingRule>& entry) { return entry.param.label; });

// What the program itself may take, whatever lies on the targets. A build
// with AddressSanitizer carries its own shadow memory and allocator on top.
#ifdef QUILLMERE_SANITIZED
constexpr long kSanitizerKib = 40 * 1024;
#else
constexpr long kSanitizerKib = 0;
#endif
constexpr long kMemoryLimitKib = 20 * 1024;

class MemoryBoundTest : public ::testing::Test, protected testing::OnboardingRig {};

TEST_F(MemoryBoundTest, AHugeBlobOnTheTargetAndFiftyLargeRequestsAreNeverHeld) {
  // Fifty requests of 1 MiB that dev already holds, and under a pending
  // request's name a 300 MiB blob (300 KB packed). The pending request's
  // branch is this tool's own commit, pushed while GitLab was away, so the
  // run takes it up without checking the blob out: the git commands the run
  // starts stay small and the peak measured is the program's. All of it is
  // made in the remote, which the working copy borrows its objects from:
  // nothing is packed or sent.
  add_request("ABC-1_dev_big.yaml", "owner: team-big\n");
  testing::sh(
      "set -e; export GIT_DIR=remote.git GIT_INDEX_FILE=$PWD/index GIT_AUTHOR_NAME=S "
      "GIT_AUTHOR_EMAIL=s@e GIT_COMMITTER_NAME=S GIT_COMMITTER_EMAIL=s@e; git read-tree dev; "
      "truncate -s 300M big; big=$(git -c core.bigFileThreshold=1m hash-object -w big); rm big; "
      "git update-index --add --cacheinfo 100644,$big,ABC-1_dev_big.yaml; "
      "for i in $(seq 50); do f=requests/large-$i.yaml; "
      "{ printf 'ticket: L-%d\\nenvironment: dev\\nproject: p%d\\n' $i $i; "
      "yes '# padding that fills the request to one mebibyte' | head -c 1048000; } | "
      "head -c 1048576 > $f; "
      "git update-index --add --cacheinfo 100644,$(git hash-object -w $f),large-$i.yaml; done; "
      "held=$(git commit-tree $(git write-tree) -p dev -m big); "
      "git update-ref refs/heads/dev $held; git update-index --cacheinfo "
      "100644,$(git hash-object -w requests/ABC-1_dev_big.yaml),ABC-1_dev_big.yaml; "
      "own=$(git commit-tree $(git write-tree) -p $held "
      "-m 'ABC-1: onboard big to dev environment'); "
      "git update-ref refs/heads/dev-ABC-1-big $own; rm index; unset GIT_DIR GIT_INDEX_FILE; "
      "echo $PWD/remote.git/objects > work/.git/objects/info/alternates; git -C work fetch -q",
      root.path());

  testing::Environment env = environment();
  env["ASAN_OPTIONS"] = "quarantine_size_mb=0";  // freed buffers are reused, as without it
  const ProcessResult result = testing::run_process(
      {QUILLMERE_PEAK_RSS, root / "peak", testing::quillmere_binary()}, root / "run", env, 120);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const long peak_rss_kib = std::stol(testing::read_file(root / "peak"));
  const std::vector<std::string> records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Processing complete: 51 succeeded, 0 failed"));
  EXPECT_THAT(records,
              Contains(StartsWith("INFO - ✅ Already onboarded: dev already holds ")).Times(50));
  EXPECT_EQ(gitlab.merge_requests().size(), 1u);
  RecordProperty("peak_rss_kib", std::to_string(peak_rss_kib));
  EXPECT_LT(peak_rss_kib, kMemoryLimitKib + kSanitizerKib);
}

}  // namespace
}  // namespace quillmere::stored_requests_test

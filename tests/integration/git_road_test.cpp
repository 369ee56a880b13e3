// The real binary against a real bare remote: the branch, the commit and the
// push of each request file, and every road on which that fails.
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/util/command_runner.h"
#include "tests/support/git_fixture.h"
#include "tests/support/loopback_port.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"
#include "tests/support/temp_dir.h"

namespace quillmere::git_road_test {
namespace {

using testing::Environment;
using testing::file_exists;
using testing::GitRemoteFixture;
using testing::make_dir;
using testing::ProcessResult;
using testing::read_file;
using testing::RunLog;
using testing::sh;
using testing::TempDir;
using testing::unused_loopback_port;
using testing::write_file;

// Peak memory of the program. Built with AddressSanitizer, its shadow memory and
// quarantine come on top; there the limit only tells kept output from none.
#if defined(QUILLMERE_SANITIZED)
constexpr long kPeakLimitKib = 64 * 1024;
#else
constexpr long kPeakLimitKib = 20 * 1024;
#endif

const std::string kBranch = "dev-ABC-12-web_app";
const std::string kRequest = "ABC-12_dev_web_app.yaml";
const std::string kRequestText = "# Onboarding request\nowner: team-payments\n";

class GitRoadTest : public ::testing::Test {
 protected:
  GitRoadTest() : git_(root_.path()) {
    make_dir(root_ / "run");
    make_dir(root_ / "home");
    make_dir(root_ / "requests");
    env_ = {
        {"HOME", root_ / "home"},
        {"REPO_PATH", git_.work()},
        {"YAML_DIR", root_ / "requests"},
        {"GITLAB_URL", "http://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/api/v4"},
        {"PROJECT_ID", "42"},
        {"GITLAB_TOKEN", "glpat-test-token"},
        {"GIT_COMMITTER_EMAIL", "bot@example.com"},
        {"GIT_COMMITTER_NAME", "Onboarding Bot"}};
  }

  void add_request(const std::string& name, const std::string& text = kRequestText) {
    write_file(root_ / "requests/" + name, text);
  }

  RunLog run(int expected_status = 0) {
    const ProcessResult result =
        testing::run_process({testing::quillmere_binary()}, root_ / "run", env_, 60);
    RunLog log(result.err);
    EXPECT_EQ(result.exit_status, expected_status) << dump(log);
    return log;
  }

  std::string in_work(const std::string& command) { return sh(command, git_.work()); }
  std::string current_branch() { return in_work("git branch --show-current"); }

  // Rejects every push, after `noise_bytes` bytes of lines of noise.
  void install_rejecting_hook(long noise_bytes = 0) {
    write_file(git_.remote() + "/hooks/pre-receive",
               "#!/bin/sh\nyes 'noise from a hook' | head -c " + std::to_string(noise_bytes) +
                   " | sed '$a\\' >&2\necho 'push refused by policy' >&2\nexit 1\n");
    sh("chmod +x hooks/pre-receive", git_.remote());
  }

  // What the batch logs for a file that failed with `message`.
  static std::string failed(const std::string& file, const std::string& message) {
    return "ERROR - ❌ Failed to process " + file + ": " + message;
  }

  TempDir root_;
  GitRemoteFixture git_;
  Environment env_;
};

TEST_F(GitRoadTest, PushesTheRequestOnItsOwnBranchWithTheDocumentedCommit) {
  // Relative paths are resolved against the start directory.
  env_["REPO_PATH"] = "../work";
  env_["YAML_DIR"] = "../requests";
  add_request(kRequest);
  const RunLog log = run();

  const std::vector<std::string> road = {
      "INFO - 🚀 Working on branch: " + kBranch + " for project: web_app",
      "INFO - 🔧 Git identity set → Onboarding Bot <bot@example.com>",
      "INFO - ✅ Created branch: " + kBranch,
      "INFO - ✅ Successfully pushed branch: " + kBranch,
  };
  int previous = -1;
  for (const auto& line : road) {
    const int at = log.index(line);
    EXPECT_GT(at, previous) << line << "\n" << dump(log);
    previous = at;
  }
  EXPECT_FALSE(log.mentions("Dirty/conflicted")) << dump(log);
  EXPECT_FALSE(log.mentions("stash")) << dump(log);

  ASSERT_TRUE(git_.remote_has_branch(kBranch));
  EXPECT_EQ(git_.remote_tree(kBranch), (std::vector<std::string>{kRequest, "README.md"}));
  EXPECT_EQ(git_.remote_file(kBranch, kRequest) + "\n", kRequestText);
  EXPECT_EQ(git_.remote_commit_message(kBranch), "ABC-12: onboard web_app to dev environment");
  EXPECT_EQ(git_.remote_committer(kBranch), "Onboarding Bot <bot@example.com>");
  EXPECT_EQ(git_.remote_git("rev-parse " + kBranch + "^"), git_.remote_git("rev-parse dev"));
  EXPECT_EQ(current_branch(), kBranch) << "nothing was stashed, so the copy stays on the branch";

  // A second run finds the branch on the remote (the local one removed),
  // knows it for its own and goes on to the merge request, without touching
  // the branch (GitLab is unreachable here, so the file still fails).
  in_work("git checkout -q dev && git branch -q -D " + kBranch);
  const std::string tip = git_.remote_git("rev-parse " + kBranch);
  const RunLog again = run();
  EXPECT_TRUE(again.has("INFO - ♻️ Branch " + kBranch +
                        " holds this request from an earlier run: taking it up"))
      << dump(again);
  EXPECT_FALSE(again.mentions("Git identity set"));
  EXPECT_FALSE(git_.local_has_branch(kBranch));
  EXPECT_EQ(git_.remote_git("rev-parse " + kBranch), tip);
}

// The hook floods the push with 30 MB first: git's verdict, at the end, is
// what each record shows, in a few kilobytes of log, report and memory.
TEST_F(GitRoadTest, RejectedPushIsRolledBackAndReported) {
  install_rejecting_hook(30'000'000);
  add_request(kRequest);
  env_["REPORT_FILE"] = root_ / "report.json";
  // time(1) reports the program's peak memory.
  const ProcessResult result = testing::run_process(
      {"/usr/bin/time", "-f", "%M", "-o", root_ / "peak", testing::quillmere_binary()},
      root_ / "run", env_, 60);
  const RunLog log(result.err);
  EXPECT_EQ(result.exit_status, 0) << dump(log);
  const long peak_kib = std::atol(testing::split_lines(read_file(root_ / "peak")).back().c_str());
  const size_t log_bytes = read_file(root_ / "run/logs/onboarding.log").size();
  const size_t report_bytes = read_file(root_ / "report.json").size();
  EXPECT_LT(log_bytes, 10u * 1024);
  EXPECT_LT(result.err.size(), 10u * 1024);
  EXPECT_LT(report_bytes, 64u * 1024);
  EXPECT_LT(peak_kib, kPeakLimitKib);
  std::cout << "[ measured ] 30 MB from a rejecting hook: peak " << peak_kib << " KiB, log "
            << log_bytes << " bytes, report " << report_bytes << " bytes\n";

  const std::string push_failure = log.starting_with("ERROR - Failed during branch operations: ");
  const std::string expected_start =
      "ERROR - Failed during branch operations: Command failed: "
      "git push origin " +
      kBranch + "\nError: ";
  EXPECT_EQ(push_failure.rfind(expected_start, 0), 0u) << dump(log);
  EXPECT_NE(push_failure.find("remote: push refused by policy"), std::string::npos);
  EXPECT_NE(
      push_failure.find("(pre-receive hook declined)\\x0aerror: failed to push some refs to '" +
                        git_.remote() + "' … ("),
      std::string::npos)
      << push_failure;
  const std::string message =
      push_failure.substr(std::string("ERROR - Failed during branch operations: ").size());

  // The runner's own ERROR line, then the rollback, then the per-file line.
  const int runner_line = log.index("ERROR - " + message);
  const int branch_line = log.index("ERROR - Failed during branch operations: " + message);
  const int rollback = log.index("INFO - 🔄 Rolled back: deleted branch " + kBranch);
  const int file_line = log.index(failed(kRequest, message));
  EXPECT_GE(runner_line, 0) << dump(log);
  EXPECT_LT(runner_line, branch_line);
  EXPECT_LT(branch_line, rollback);
  EXPECT_LT(rollback, file_line);
  EXPECT_FALSE(log.mentions("Successfully pushed"));

  EXPECT_FALSE(git_.local_has_branch(kBranch));
  EXPECT_FALSE(git_.remote_has_branch(kBranch));
  EXPECT_EQ(current_branch(), "dev");
  EXPECT_TRUE(log.has("INFO - Processing complete: 0 succeeded, 1 failed")) << dump(log);
}

TEST_F(GitRoadTest, AFailedCommitTakesTheCopyAwayWithTheBranch) {
  write_file(git_.work() + "/.git/hooks/pre-commit",
             "#!/bin/sh\necho 'commit refused' >&2\nexit 1\n");
  sh("chmod +x .git/hooks/pre-commit", git_.work());
  add_request(kRequest);
  const RunLog log = run();
  EXPECT_TRUE(log.has("INFO - 🔄 Rolled back: deleted branch " + kBranch)) << dump(log);
  EXPECT_FALSE(file_exists(git_.work() + "/" + kRequest));
  EXPECT_EQ(in_work("git status --porcelain"), "");
  EXPECT_EQ(current_branch(), "dev");

  // Nothing of it stands in the way of the next run.
  sh("rm .git/hooks/pre-commit", git_.work());
  EXPECT_TRUE(run().has("INFO - ✅ Successfully pushed branch: " + kBranch));
}

TEST_F(GitRoadTest, DetachedHeadRollsBackOntoTheTargetBranch) {
  in_work("git checkout -q staging && git checkout -q --detach");
  install_rejecting_hook();
  add_request(kRequest);
  const RunLog log = run();
  EXPECT_TRUE(log.has("INFO - 🔄 Rolled back: deleted branch " + kBranch)) << dump(log);
  EXPECT_EQ(current_branch(), "dev");
  EXPECT_FALSE(git_.local_has_branch(kBranch));
}

TEST_F(GitRoadTest, ExistingLocalBranchIsRefusedAndNothingIsTouched) {
  in_work("git branch " + kBranch);
  write_file(git_.work() + "/README.md", "uncommitted work\n");
  add_request(kRequest);
  const RunLog log = run();
  EXPECT_TRUE(log.has(
      failed(kRequest, "Branch " + kBranch + " already exists! Skipping to avoid conflicts.")))
      << dump(log);
  EXPECT_FALSE(log.mentions("Dirty/conflicted"));
  EXPECT_EQ(read_file(git_.work() + "/README.md"), "uncommitted work\n");
  EXPECT_EQ(current_branch(), "dev");
  EXPECT_FALSE(git_.remote_has_branch(kBranch));
}

TEST_F(GitRoadTest, AFailedFetchIsAWarningAndTheRunGoesOnUnlessTheRunWorksFromIt) {
  in_work("git remote set-url origin " + root_ / "gone.git");
  add_request(kRequest);
  const RunLog log = run();
  const std::string warning = log.starting_with("WARNING - ⚠️ Could not fetch origin: ");
  EXPECT_TRUE(warning.ends_with("; requests are compared with origin as last fetched"))
      << dump(log);
  EXPECT_TRUE(log.has("INFO - Processing complete: 0 succeeded, 1 failed"));

  env_["ORIGIN_SYNC"] = "per-run";
  const RunLog per_run = run(1);
  const std::string fatal = per_run.records().back();
  EXPECT_TRUE(fatal.starts_with("ERROR - Fatal error: Could not fetch origin: ")) << dump(per_run);
  EXPECT_TRUE(fatal.ends_with(" (ORIGIN_SYNC=per-run works from the run's fetch)"));
  EXPECT_FALSE(per_run.mentions("Processing: "));
}

TEST_F(GitRoadTest, LeftoversAreCleanedUntrackedFilesKeptAndTheRunGoesOn) {
  in_work(
      "echo stashed >> README.md && git -c user.name=T -c user.email=t@e stash push -q -m "
      "leftover");
  write_file(git_.work() + "/README.md", "dirty tracked change\n");
  write_file(git_.work() + "/notes.txt", "untracked, keep me\n");
  add_request(kRequest);
  const RunLog log = run();

  const int warning = log.index("WARNING - Dirty/conflicted index detected — resetting...");
  const int drop = log.index("INFO - 🗑️ Dropping leftover stash: stash@{0}: On dev: leftover");
  const int pushed = log.index("INFO - ✅ Successfully pushed branch: " + kBranch);
  EXPECT_GE(warning, 0) << dump(log);
  EXPECT_GT(drop, warning);
  EXPECT_GT(pushed, drop);
  EXPECT_FALSE(log.mentions("📦")) << "nothing was left to stash";

  EXPECT_EQ(in_work("git stash list"), "");
  EXPECT_EQ(read_file(git_.work() + "/README.md"), "Configuration repository\n");
  EXPECT_EQ(read_file(git_.work() + "/notes.txt"), "untracked, keep me\n");
  EXPECT_EQ(git_.remote_tree(kBranch), (std::vector<std::string>{kRequest, "README.md"}));
}

TEST_F(GitRoadTest, MergeConflictsEndTheRunBeforeAnyFile) {
  const std::string commit = "git -c user.name=T -c user.email=t@e commit -q -am ";
  in_work("git checkout -q -b other && echo theirs > README.md && " + commit + "theirs");
  in_work("git checkout -q dev && echo ours > README.md && " + commit + "ours");
  in_work("git merge -q other >/dev/null 2>&1 || true");
  add_request(kRequest);
  const RunLog log = run(1);
  EXPECT_EQ(log.records().back(),
            "ERROR - Fatal error: Repository has merge conflicts that need manual resolution");
  EXPECT_FALSE(log.mentions("Processing"));
  EXPECT_FALSE(git_.remote_has_branch(kBranch));
}

TEST_F(GitRoadTest, HostileRequestValuesNeverRunAnything) {
  // Rejected by the branch name rules: a blank in the project.
  add_request("ABC-1_dev_x;touch PWNED.yaml", "");
  add_request("from-content.yaml",
              "ticket: ABC-2\nenvironment: dev\nproject: \"$(touch PWNED)\"\n");
  // Valid branch names full of shell syntax: they go through literally.
  const std::string odd_project = "$(touch${IFS}PWNED)`touch${IFS}PWNED`'q\"|&";
  const std::string odd_name = "ABC-3_dev_" + odd_project + ".yaml";
  add_request(odd_name, "");
  add_request("-rf.yaml", "ticket: ABC-4\nenvironment: dev\nproject: dash\n");
  const RunLog log = run();

  EXPECT_TRUE(log.has(failed("ABC-1_dev_x;touch PWNED.yaml",
                             "Invalid branch name: dev-ABC-1-x;touch PWNED (it contains a blank)")))
      << dump(log);
  EXPECT_TRUE(log.has(failed(
      "from-content.yaml", "Invalid branch name: dev-ABC-2-$(touch PWNED) (it contains a blank)")));

  const std::string odd_branch = "dev-ABC-3-" + odd_project;
  const std::string odd_ref = shell_word("refs/heads/" + odd_branch);
  EXPECT_TRUE(log.has("INFO - ✅ Successfully pushed branch: " + odd_branch)) << dump(log);
  EXPECT_EQ(git_.remote_git("for-each-ref --format=%\\(refname\\) " + odd_ref),
            "refs/heads/" + odd_branch);
  EXPECT_EQ(git_.remote_git("log -1 --format=%B " + odd_ref),
            "ABC-3: onboard " + odd_project + " to dev environment");
  EXPECT_EQ(git_.remote_git("ls-tree -z --name-only " + odd_ref + " | tr '\\0' '\\n'"),
            odd_name + "\nREADME.md");

  EXPECT_TRUE(log.has("INFO - ✅ Successfully pushed branch: dev-ABC-4-dash")) << dump(log);
  EXPECT_EQ(git_.remote_tree("dev-ABC-4-dash"),
            (std::vector<std::string>{"-rf.yaml", "README.md"}));

  EXPECT_EQ(sh("find . -name PWNED", root_.path()), "") << "a request value was executed";
}

}  // namespace
}  // namespace quillmere::git_road_test

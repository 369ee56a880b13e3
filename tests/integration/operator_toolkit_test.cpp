// The operator's tools, with the real binary on the onboarding rig: the
// command line, the dry run and the lint, and DONE_DIR over two scheduled
// runs. A git on PATH records every command quillmere starts.
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere::operator_toolkit_test {
namespace {

using testing::ProcessResult;
using testing::RunLog;

constexpr const char* kAlpha = "ABC-1_dev_alpha.yaml";
constexpr const char* kBeta = "ABC-2_staging_beta.yaml";
constexpr const char* kNotes = "notes.yaml";  // no request in its name or content

class OperatorToolkitTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  OperatorToolkitTest() {
    add_request(kAlpha, "owner: team-alpha\n");
    add_request(kBeta, "owner: team-beta\n");
  }

  ProcessResult run_with(const std::vector<std::string>& args, const testing::Environment& env) {
    std::vector<std::string> argv = {testing::quillmere_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::run_process(argv, root / "run", traced(env), 60);
  }
  bool wrote_a_log() const { return testing::file_exists(root / "run/logs"); }

  // What a run could change in git: every ref of both repositories, the
  // working copy's branch, status and stashes.
  std::string git_state() const {
    return git.remote_git("for-each-ref") + "\n" + git.git("for-each-ref") + "\n" +
           git.git("branch --show-current") + "\n" + git.git("status --porcelain") + "\n" +
           git.git("stash list");
  }
};

TEST_F(OperatorToolkitTest, CommandLineOptionsNeverStartARun) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // its beginning
    std::string err;
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: quillmere [--check [FILE...]]\n", ""},
      {{"-V"}, 0, "quillmere " QUILLMERE_VERSION "\n", ""},
      {{"--dryrun"}, 2, "", "quillmere: unknown option '--dryrun'\nTry 'quillmere --help'.\n"},
      {{"push"},
       2,
       "",
       "quillmere: unexpected argument 'push' (request files are named only with --check)\n"
       "Try 'quillmere --help'.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ProcessResult result = run_with(c.args, environment());
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
    if (c.out.empty()) {
      EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(wrote_a_log());
    EXPECT_THAT(git_commands(), IsEmpty());
    EXPECT_THAT(gitlab.requests(), IsEmpty());
    EXPECT_THAT(teams.requests(), IsEmpty());
  }
}

TEST_F(OperatorToolkitTest, DryRunChangesNothingAndItsStatusFollowsTheFiles) {
  add_request(kNotes, "just: notes\n");
  // Gamma's branch as an earlier run left it: committed, pushed, no merge request.
  add_request("ABC-3_prod_gamma.yaml", "owner: team-gamma\n");
  git.git("checkout -q -b prod-ABC-3-gamma origin/prod");
  testing::write_file(git.work() + "/ABC-3_prod_gamma.yaml", "owner: team-gamma\n");
  git.git("add ABC-3_prod_gamma.yaml");
  git.git("commit -q -m 'ABC-3: onboard gamma to prod environment'");
  git.git("push -q origin prod-ABC-3-gamma");
  // Someone else's branch for beta, a stash and an uncommitted change.
  git.git("checkout -q -b staging-ABC-2-beta origin/staging");
  git.git("commit -q --allow-empty -m other-work");
  git.git("push -q origin staging-ABC-2-beta");
  git.git("checkout -q dev");
  git.git("branch -q -D staging-ABC-2-beta");
  testing::write_file(git.work() + "/README.md", "stashed\n");
  git.git("stash -q");
  testing::write_file(git.work() + "/README.md", "changed\n");
  const std::string before = git_state();
  const std::string index = testing::read_file(git.work() + "/.git/index");
  forget_git_commands();

  const ProcessResult failed = run_with({"--check"}, environment());
  EXPECT_EQ(failed.exit_status, 1) << failed.err;
  EXPECT_EQ(testing::read_file(git.work() + "/.git/index"), index);
  EXPECT_EQ(git_state(), before);
  EXPECT_FALSE(wrote_a_log());
  EXPECT_THAT(gitlab.merge_requests(), IsEmpty());
  EXPECT_THAT(teams.requests(), IsEmpty());
  for (const auto& request : gitlab.requests()) EXPECT_EQ(request.method, "GET") << request.path;
  // Only commands that read: no checkout, pull, fetch, commit, push, stash;
  // hash-object without -w writes nothing.
  for (const std::string& command : git_commands())
    EXPECT_THAT(command, ::testing::MatchesRegex(
                             "(--no-optional-locks status --porcelain|"
                             "branch --(show-current|list .*)|ls-remote .*|"
                             "rev-parse .*|rev-list .*|cat-file .*|diff-tree .*|merge-base .*|"
                             "-C .* hash-object (--no-filters )?--stdin-paths)"));

  const std::vector<std::string> lines = testing::split_lines(failed.out);
  for (const char* expected : {
           "   ✅ would be onboarded",
           "   ✅ would be taken up: the branch holds this request from an earlier run",
           "   ❌ would fail: Branch staging-ABC-2-beta already exists! Skipping to avoid "
           "conflicts.",
           "   ❌ would be refused: Invalid filename format: notes.yaml. Expected format: "
           "TICKET_ENVIRONMENT_PROJECT.yaml",
           "   taken from:   the file name (the content names no ticket, no environment, no "
           "project)",
           "   branch exists: here: no, on origin: yes",
           "   ⚠️ 1 uncommitted change(s): a run resets changes to tracked files and stashes "
           "the "
           "rest before each branch",
           "   ✅ token works: user onboarding-bot (Onboarding Bot)",
           "   ✅ project 42: platform/onboarding-config",
           "   ✅ reviewer bob: user 102",
           "   ✅ webhook configured (nothing was posted to it)",
           "❌ Check failed: 2 of 4 file(s) would be onboarded",
       })
    EXPECT_THAT(lines, Contains(expected)) << failed.out;
  EXPECT_THAT(failed.out + failed.err, ::testing::Not(HasSubstr(kToken)));

  testing::sh("rm '" + root / "requests" + "/" + kNotes + "' '" + root / "requests" + "/" + kBeta +
              "'");
  const ProcessResult passed = run_with({"--check"}, environment());
  EXPECT_EQ(passed.exit_status, 0) << passed.out;
  EXPECT_THAT(testing::split_lines(passed.out),
              Contains("✅ Check passed: 2 file(s) would be onboarded"));
}

TEST_F(OperatorToolkitTest, LintNeedsNoSettings) {
  add_request(kNotes, "just: notes\n");
  add_request("by-content.yaml", "ticket: OPS-7\nenvironment: Prod\nproject: api\n");
  const std::string requests = root / "requests/";
  const ProcessResult good =
      run_with({"--check", requests + "by-content.yaml", requests + kAlpha}, {});
  EXPECT_EQ(good.exit_status, 0) << good.out;
  EXPECT_THAT(testing::split_lines(good.out), Contains("   branch:       prod-OPS-7-api → prod"));
  EXPECT_THAT(testing::split_lines(good.out), Contains("✅ 2 file(s) would be accepted"));

  add_request("broken.yaml", "ticket: [OPS-8\nenvironment: dev\n");
  const ProcessResult bad =
      run_with({"--check", requests + kNotes, requests + kAlpha, requests + "broken.yaml"}, {});
  EXPECT_EQ(bad.exit_status, 1) << bad.out;
  EXPECT_THAT(testing::split_lines(bad.out), Contains("❌ 2 of 3 file(s) would be refused"));
  EXPECT_THAT(testing::split_lines(bad.out),
              Contains("   ❌ would be refused: Invalid filename format: broken.yaml. Expected "
                       "format: TICKET_ENVIRONMENT_PROJECT.yaml (YAML syntax error at line 2, "
                       "column 12: end of sequence flow not found)"))
      << bad.out;
  EXPECT_THAT(git_commands(), IsEmpty());
  EXPECT_FALSE(wrote_a_log());
}

TEST_F(OperatorToolkitTest, DoneDirTakesSucceededFilesOutOfTheNextRun) {
  add_request(kNotes, "just: notes\n");
  testing::Environment env = environment();
  env["DONE_DIR"] = root / "done/onboarded";  // made by the first run

  const ProcessResult first = run_with({}, env);
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const RunLog first_log(first.err);
  EXPECT_TRUE(first_log.has("INFO - 📁 Moved ABC-1_dev_alpha.yaml to " + env["DONE_DIR"] +
                            "/ABC-1_dev_alpha.yaml"))
      << dump(first_log);
  EXPECT_EQ(testing::read_file(env["DONE_DIR"] + "/" + kBeta), "owner: team-beta\n");
  EXPECT_FALSE(testing::file_exists(root / "requests/" + kAlpha));
  EXPECT_TRUE(testing::file_exists(root / "requests/" + kNotes));

  // The next scheduled run meets only the file that failed: no git command
  // for it, and no GitLab call but the token's expiry.
  forget_git_commands();
  const size_t gitlab_calls = gitlab.requests().size();
  const ProcessResult second = run_with({}, env);
  EXPECT_EQ(second.exit_status, 0);
  EXPECT_TRUE(RunLog(second.err).has("INFO - Processing complete: 0 succeeded, 1 failed"));
  EXPECT_THAT(git_commands(), Each(std::string("status --porcelain")))
      << "a file that names no request is compared with nothing, so nothing is fetched";
  EXPECT_EQ(gitlab.requests().size(), gitlab_calls + 1);

  testing::sh("rm '" + root / "requests/" + kNotes + "'");
  EXPECT_TRUE(RunLog(run_with({}, env).err).has("WARNING - ⚠️ No YAML files found"));
  EXPECT_EQ(gitlab.merge_requests().size(), 2u);
}

}  // namespace
}  // namespace quillmere::operator_toolkit_test

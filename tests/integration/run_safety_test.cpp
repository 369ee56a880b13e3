// Running safely, with the real binary on the onboarding rig: one run at a
// time per working copy, stops by signal at safe points only, and a later run
// that takes up what an earlier one left, without anyone cleaning up in
// between.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/standins/standin_servers.h"
#include "tests/support/loopback_port.h"
#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere::run_safety_test {
namespace {

using namespace std::chrono_literals;
using standins::GitLabStandin;
using testing::BackgroundProcess;
using ::testing::ElementsAre;
using testing::ProcessResult;
using testing::RunLog;

// A request whose file name says everything; its content holds no request keys.
struct Request {
  std::string file, branch, target;
  std::string content() const { return "owner: team-" + branch + "\n"; }
};
const Request kAlpha{"ABC-1_dev_alpha.yaml", "dev-ABC-1-alpha", "dev"};
const Request kBeta{"ABC-2_staging_beta.yaml", "staging-ABC-2-beta", "staging"};
const Request kGamma{"ABC-3_prod_gamma.yaml", "prod-ABC-3-gamma", "prod"};
const Request kDelta{"ABC-4_dev_delta.yaml", "dev-ABC-4-delta", "dev"};

// The run ended as one stopped by `signal_name` ends, after these counts.
void expect_stopped_ending(const RunLog& log, const std::string& signal_name, int left,
                           int succeeded, int failed) {
  const std::string rule(50, '=');
  const std::vector<std::string> ending = {
      "WARNING - 🛑 Stopped by " + signal_name + ": " + std::to_string(left) +
          " file(s) left for the next run",
      "INFO - \n" + rule,
      "INFO - Processing complete: " + std::to_string(succeeded) + " succeeded, " +
          std::to_string(failed) + " failed",
      "INFO - " + rule};
  const auto& records = log.records();
  ASSERT_GE(records.size(), ending.size()) << dump(log);
  EXPECT_EQ(std::vector(records.end() - static_cast<long>(ending.size()), records.end()), ending)
      << dump(log);
}

class RunSafetyTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  RunSafetyTest() { testing::make_dir(root / "run-2"); }

  void add(const Request& request) { add_request(request.file, request.content()); }

  // Started in a process group of its own, as from a terminal or a service.
  BackgroundProcess start() {
    return BackgroundProcess({testing::quillmere_binary()}, root / "run", environment());
  }

  RunLog run_to_end(const testing::Environment& env) {
    const ProcessResult result =
        testing::run_process({testing::quillmere_binary()}, root / "run", env, 60);
    RunLog log(result.err);
    EXPECT_EQ(result.exit_status, 0) << dump(log);
    return log;
  }
  RunLog run_to_end() { return run_to_end(environment()); }

  // Starts a run, signals it (or its whole group) once a hook holds it, lets
  // the hook go on and returns the run's log.
  RunLog stop_while_held(int signal_number, bool to_whole_group, int expected_status) {
    BackgroundProcess run = start();
    EXPECT_TRUE(wait_until_held());
    to_whole_group ? run.signal_group(signal_number) : run.signal(signal_number);
    release();
    const ProcessResult stopped = run.wait(60s);
    RunLog log(stopped.err);
    EXPECT_EQ(stopped.exit_status, expected_status) << dump(log);
    return log;
  }

  // The web addresses of the merge requests created from the request's branch.
  std::vector<std::string> merge_requests_of(const Request& request) const {
    std::vector<std::string> urls;
    for (const auto& mr : gitlab.merge_requests())
      if (mr["source_branch"] == request.branch) urls.push_back(mr["web_url"]);
    return urls;
  }
  std::string web_url_of(const Request& request) const {
    const auto urls = merge_requests_of(request);
    return urls.empty() ? "(no merge request)" : urls.front();
  }

  // The request on the remote as one commit of its file alone on top of its
  // target branch, with exactly one merge request and one card.
  void expect_onboarded_once(const Request& request) const {
    SCOPED_TRACE(request.file);
    ASSERT_TRUE(git.remote_has_branch(request.branch));
    const std::string ref = "refs/heads/" + request.branch;
    EXPECT_EQ(git.remote_git("log -1 --format=%P " + ref),
              git.remote_git("rev-parse refs/heads/" + request.target));
    EXPECT_EQ(git.remote_git("diff-tree --no-commit-id --name-only -r " + ref), request.file);
    EXPECT_EQ(git.remote_file(request.branch, request.file) + "\n", request.content());
    EXPECT_EQ(merge_requests_of(request).size(), 1u);
    int cards = 0;
    for (const auto& card : teams.cards())
      cards += card.dump().find("\"value\":\"" + request.branch + "\"") != std::string::npos;
    EXPECT_EQ(cards, 1);
  }

  size_t merge_request_posts() const {
    return gitlab.requests(GitLabStandin::Route::kCreateMergeRequest).size();
  }
};

TEST_F(RunSafetyTest, ASecondRunOnTheSameWorkingCopyIsRefusedAndChangesNothing) {
  const std::vector<Request> requests = {kAlpha, kBeta, kGamma, kDelta};
  for (const Request& request : requests) add(request);
  hold_pushes();
  // The first run holds the lock at least until its first push is released.
  BackgroundProcess holder = start();
  ASSERT_TRUE(wait_until_held());
  const ProcessResult refusal = testing::run_process({testing::quillmere_binary()}, root / "run-2",
                                                     traced(environment()), 30);
  EXPECT_THAT(git_commands(), ::testing::IsEmpty()) << "the lock comes before any git command";
  EXPECT_FALSE(holder.finished());
  release();
  const ProcessResult done = holder.wait(60s);

  EXPECT_EQ(refusal.exit_status, 1);
  EXPECT_THAT(
      RunLog(refusal.err).records(),
      ElementsAre("INFO - ✅ Configuration validation passed", "INFO - REPO_PATH: " + git.work(),
                  "INFO - YAML_DIR: " + root / "requests", "INFO - GITLAB_URL: " + gitlab.api_url(),
                  "ERROR - Fatal error: Working copy " + git.work() +
                      " is locked by another quillmere run (PID " + std::to_string(holder.pid()) +
                      ")"));
  const RunLog log(done.err);
  EXPECT_EQ(done.exit_status, 0) << dump(log);
  EXPECT_TRUE(log.has("INFO - Processing complete: 4 succeeded, 0 failed")) << dump(log);
  EXPECT_THAT(
      testing::split_lines(git.remote_git("for-each-ref '--format=%(refname:short)' refs/heads")),
      ElementsAre("dev", kAlpha.branch, kDelta.branch, "prod", kGamma.branch, "staging",
                  kBeta.branch));
  for (const Request& request : requests) expect_onboarded_once(request);
  EXPECT_EQ(merge_request_posts(), requests.size());
}

struct StopCase {
  const char* name;
  int signal_number;
  bool to_whole_group;  ///< like Ctrl-C in a terminal
  int exit_status;
  const char* signal_name;
};

void PrintTo(const StopCase& stop, std::ostream* out) { *out << stop.name; }

class StopDuringPushTest : public RunSafetyTest, public ::testing::WithParamInterface<StopCase> {};

// Needs the merge request lookup of the GitLab stand-in (GET merge_requests
// with state, source_branch and target_branch) for "Already onboarded".
TEST_P(StopDuringPushTest, FinishesTheFileInProgressAndTheNextRunDoesTheRest) {
  const StopCase& stop = GetParam();
  add(kAlpha);
  add(kBeta);
  hold_pushes();
  const RunLog log = stop_while_held(stop.signal_number, stop.to_whole_group, stop.exit_status);
  expect_stopped_ending(log, stop.signal_name, 1, 1, 0);
  const bool alpha_first = log.has("INFO - ✅ Successfully pushed branch: " + kAlpha.branch);
  const Request& finished = alpha_first ? kAlpha : kBeta;
  const Request& left = alpha_first ? kBeta : kAlpha;
  EXPECT_TRUE(log.has("INFO - 🎉 MR Created: " + web_url_of(finished))) << dump(log);
  expect_onboarded_once(finished);
  EXPECT_FALSE(log.mentions(left.file)) << "a file was started after the stop";
  EXPECT_FALSE(git.remote_has_branch(left.branch));

  const RunLog again = run_to_end();
  EXPECT_TRUE(again.has("INFO - ✅ Already onboarded: " + finished.branch +
                        " has the open merge request " + web_url_of(finished)))
      << dump(again);
  EXPECT_TRUE(again.has("INFO - Processing complete: 2 succeeded, 0 failed"));
  expect_onboarded_once(kAlpha);
  expect_onboarded_once(kBeta);
  EXPECT_EQ(merge_request_posts(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopDuringPushTest,
    ::testing::Values(StopCase{"SigtermToTheProcess", SIGTERM, false, 143, "SIGTERM"},
                      StopCase{"SigintToItsProcessGroup", SIGINT, true, 130, "SIGINT"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunSafetyTest, AStopBeforeThePushRollsTheFileBackForTheNextRun) {
  add(kAlpha);
  // "git checkout -b" of the request's branch runs this hook.
  install_holding_hook(git.work() + "/.git/hooks/post-checkout",
                       "[ \"$(git symbolic-ref --short -q HEAD)\" = '" + kAlpha.branch + "' ]");
  const RunLog log = stop_while_held(SIGTERM, false, 143);
  const std::string why = "Stopped by SIGTERM before the push";
  const int branch_failure = log.index("ERROR - Failed during branch operations: " + why);
  const int rollback = log.index("INFO - 🔄 Rolled back: deleted branch " + kAlpha.branch);
  const int file_failure = log.index("ERROR - ❌ Failed to process " + kAlpha.file + ": " + why);
  EXPECT_GE(branch_failure, 0) << dump(log);
  EXPECT_LT(branch_failure, rollback);
  EXPECT_LT(rollback, file_failure);
  // The rolled-back file is counted as failed, not among those left.
  expect_stopped_ending(log, "SIGTERM", 0, 0, 1);
  EXPECT_FALSE(git.remote_has_branch(kAlpha.branch));
  EXPECT_FALSE(git.local_has_branch(kAlpha.branch));
  EXPECT_EQ(git.git("branch --show-current"), "dev");
  // Nothing but the look-up of the token's expiry and the listing of this
  // tool's merge requests.
  EXPECT_EQ(gitlab.requests().size(),
            gitlab.requests(GitLabStandin::Route::kTokenSelf).size() +
                gitlab.requests(GitLabStandin::Route::kListMergeRequests).size());
  EXPECT_THAT(gitlab.requests(GitLabStandin::Route::kCreateMergeRequest), ::testing::IsEmpty());
  EXPECT_TRUE(teams.requests().empty());

  const RunLog again = run_to_end();
  EXPECT_TRUE(again.has("INFO - Processing complete: 1 succeeded, 0 failed")) << dump(again);
  expect_onboarded_once(kAlpha);
}

// A fetch that hangs (origin never answers) changes nothing yet: a stop
// request ends it at once, and the run then starts no file.
TEST_F(RunSafetyTest, AStopEndsAHangingFetchAtOnce) {
  add(kAlpha);
  const std::string upload_pack = root / "hanging-upload-pack";
  testing::write_file(upload_pack, "#!/bin/sh\ntouch '" + root / "held" + "'\nexec sleep 120\n");
  testing::sh(
      "chmod +x '" + upload_pack + "' && git config remote.origin.uploadpack '" + upload_pack + "'",
      git.work());
  const RunLog log = stop_while_held(SIGTERM, false, 143);  // waits 60 s at most
  EXPECT_TRUE(
      log.has("WARNING - ⚠️ Could not fetch origin: stopped by SIGTERM; requests are "
              "compared with origin as last fetched"))
      << dump(log);
  expect_stopped_ending(log, "SIGTERM", 1, 0, 0);
}

// Needs the merge request lookup of the GitLab stand-in, as above.
TEST_F(RunSafetyTest, ABranchPushedWhileGitLabWasDownIsTakenUpByTheNextRun) {
  add(kAlpha);
  testing::Environment unreachable = environment();
  unreachable["GITLAB_URL"] =
      "https://127.0.0.1:" + std::to_string(testing::unused_loopback_port()) + "/api/v4";
  unreachable.erase("REVIEWER_USERNAMES");  // each look-up would wait out its own retries
  const RunLog first = run_to_end(unreachable);
  EXPECT_TRUE(first.has("INFO - ✅ Successfully pushed branch: " + kAlpha.branch)) << dump(first);
  EXPECT_TRUE(first.has("INFO - Processing complete: 0 succeeded, 1 failed")) << dump(first);

  const RunLog again = run_to_end();
  EXPECT_TRUE(again.has("INFO - ♻️ Branch " + kAlpha.branch +
                        " holds this request from an earlier run: taking it up"))
      << dump(again);
  EXPECT_TRUE(again.has("INFO - 🎉 MR Created: " + web_url_of(kAlpha))) << dump(again);
  EXPECT_TRUE(again.has("INFO - Processing complete: 1 succeeded, 0 failed"));
  expect_onboarded_once(kAlpha);
  EXPECT_EQ(merge_request_posts(), 1u);
}

// Installs `body` as the shell script hook at `path`.
void install_hook(const std::string& path, const std::string& body) {
  testing::write_file(path, "#!/bin/sh\n" + body);
  testing::sh("chmod +x '" + path + "'");
}

// Hooks that misbehave, in one run: a push whose hook ignores SIGTERM and
// stalls ends its file with the time-out failure, on the usual road (rolled
// back), and the hook with it; a commit whose hook leaves a job behind holding
// git's standard error still counts as done; each child sees descriptors 0, 1
// and 2 only (its shell also has its script open), although the log and
// libcurl's connection are open in quillmere.
TEST_F(RunSafetyTest, MisbehavingHooksEndWithTheirCommandAndGetNoDescriptorsOfOurs) {
  add(kAlpha);
  add(kBeta);
  const std::string stalled = root / "stalled-hook";
  install_hook(git.remote() + "/hooks/pre-receive", "grep -q " + kAlpha.branch +
                                                        " && { trap '' TERM; echo $$ > " + stalled +
                                                        "; sleep 60; }\nexit 0\n");
  const std::string background = root / "background-job";
  const std::string post_commit = git.work() + "/.git/hooks/post-commit";
  const std::string listing = root / "descriptors";
  install_hook(post_commit, "ls -l /proc/$$/fd | sed -n 's/.* \\([0-9]*\\) -> /\\1 /p' >> " +
                                listing + "\necho --- >> " + listing + "\nsleep 60 & echo $! >> " +
                                background + "\n");
  testing::Environment env = environment();
  env["GIT_TIMEOUT"] = "3";
  const auto started = std::chrono::steady_clock::now();
  const RunLog log = run_to_end(env);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  for (const std::string& pid : testing::split_lines(testing::read_file(background)))
    ::kill(std::stoi(pid), SIGKILL);

  const std::string failure =
      "Command failed: git push origin " + kAlpha.branch + "\nError: timed out after 3 seconds";
  EXPECT_TRUE(log.has("ERROR - ❌ Failed to process " + kAlpha.file + ": " + failure)) << dump(log);
  EXPECT_TRUE(log.has("INFO - 🔄 Rolled back: deleted branch " + kAlpha.branch));
  EXPECT_TRUE(log.has("INFO - Processing complete: 1 succeeded, 1 failed"));
  expect_onboarded_once(kBeta);
  EXPECT_FALSE(git.remote_has_branch(kAlpha.branch));
  const std::string hook = testing::split_lines(testing::read_file(stalled)).at(0);
  EXPECT_TRUE(testing::wait_until([&] { return testing::process_gone(hook); }, 5s))
      << "the stalled hook runs on";
  EXPECT_LT(took, 40s) << "the stalled hook was waited out";
  std::cout << "[ measured ] run with a stalled push (GIT_TIMEOUT=3): " << took.count() << " s\n";

  std::vector<std::string> pushes(1);
  for (const std::string& line : testing::split_lines(testing::read_file(listing))) {
    if (line == "---")
      pushes.emplace_back();
    else if (!line.ends_with(" " + post_commit))  // the hook's shell reading its script
      pushes.back() += line.substr(0, line.find(' ')) + " ";
  }
  EXPECT_THAT(pushes, ElementsAre("0 1 2 ", "0 1 2 ", "")) << testing::read_file(listing);
}

// Branches named like a request that are not this tool's commits for it,
// all in one run: each fails and is left as it is.
TEST_F(RunSafetyTest, BranchesTheToolDidNotMakeAreRefusedAndLeftAsTheyAre) {
  struct Foreign {
    Request request;
    std::string content;  // of the request file on the branch
    std::string before;   // shell commands before the file is committed
    std::string message;
  };
  const std::vector<Foreign> table = {
      {kAlpha, "owner: someone-else\n", "true", "ABC-1: onboard alphabet to dev environment"},
      {kBeta, kBeta.content(), "echo x > notes.txt", "ABC-2: onboard beta to staging environment"},
      {kGamma, kGamma.content(), "true", "Add gamma by hand"},
      {kDelta, kDelta.content(), "git commit -q --allow-empty -m side",  // parent not on dev
       "ABC-4: onboard delta to dev environment"},
  };
  // Made in a clone of their own and pushed, as someone else would.
  std::string script = "git clone -q '" + git.remote() +
                       "' other && cd other && git config user.name Someone && "
                       "git config user.email someone@example.com";
  for (const Foreign& foreign : table) {
    const Request& request = foreign.request;
    testing::write_file(root / request.file, foreign.content);
    script += " && git checkout -q -B foreign origin/" + request.target + " && " + foreign.before +
              " && cp ../" + request.file + " . && git add -A && git commit -q -m '" +
              foreign.message + "' && git push -q origin HEAD:refs/heads/" + request.branch;
    add(request);
  }
  testing::sh(script, root.path());
  const std::string before = git.remote_git("for-each-ref");

  const RunLog log = run_to_end();
  for (const Foreign& foreign : table) {
    const Request& request = foreign.request;
    EXPECT_TRUE(log.has("ERROR - ❌ Failed to process " + request.file + ": Branch " +
                        request.branch + " already exists! Skipping to avoid conflicts."))
        << dump(log);
    EXPECT_FALSE(git.local_has_branch(request.branch));
  }
  EXPECT_EQ(git.remote_git("for-each-ref"), before);
  EXPECT_TRUE(log.has("INFO - Processing complete: 0 succeeded, 4 failed"));
  EXPECT_EQ(merge_request_posts(), 0u);
  EXPECT_TRUE(teams.requests().empty());
}

}  // namespace
}  // namespace quillmere::run_safety_test

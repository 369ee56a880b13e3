#include "quillmere/git/git_workspace.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/git/branch_plan.h"
#include "quillmere/git/branch_workflow.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "tests/support/git_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::git_workspace_test {
namespace {

using testing::file_exists;
using testing::GitRemoteFixture;
using testing::LogCapture;
using testing::read_file;
using testing::ScopedCwd;
using testing::sh;
using testing::TempDir;
using testing::write_file;

const std::string kCommit = "git -c user.name=Tester -c user.email=tester@example.com commit -q";

std::string current_directory() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

template <typename Call>
std::string failure_of(Call call) {
  try {
    call();
  } catch (const OnboardingError& error) {
    return error.what();
  }
  return "";
}

bool git_accepts_branch_name(const std::string& dir, const std::string& name) {
  return run_program(
             CommandLine("git", {"-C"}).arg(dir).arg("check-ref-format").arg("--branch").arg(name),
             read_settings("/").children)
      .succeeded();
}

// ---------------------------------------------------------------------------
// Pure checks

TEST(HasMergeConflicts, OnlyTheSevenUnmergedCodesInTheStatusColumnsCount) {
  const struct {
    const char* status;
    bool conflicted;
  } cases[] = {
      {"UU both.txt", true},
      {"AA both.txt", true},
      {"DD gone.txt", true},
      {"AU ours.txt", true},
      {"UA theirs.txt", true},
      {"DU a.txt", true},
      {"UD a.txt", true},
      {" M a.txt\n?? b\nUU c", true},
      {"\n\nAA x\n", true},
      {"U  a.txt", false},
      {"MM a.txt", false},
      {" U a.txt", false},
      {"uu a.txt", false},
      {"U", false},
      {"?? UU.txt", false},
      {"R  a -> UU", false},
      {"", false},
      {"!! ignored", false},
  };
  for (const auto& c : cases) EXPECT_EQ(has_merge_conflicts(c.status), c.conflicted) << c.status;
}

TEST(ValidateBranchName, AgreesWithGitCheckRefFormat) {
  const std::vector<std::string> accepted = {
      "dev-ABC-12-web_app", "team/dev-x", "dev-T-$(id)", "a.b", "café",  "x@y", "{a}", "a-",
      "dev-ABC-1-x;y",      "a'b",        "a\"b",        "a+b", "a=b,c%"};
  const std::vector<std::string> refused = {"",
                                            "a b",
                                            "a..b",
                                            "a~b",
                                            "a^b",
                                            "a:b",
                                            "a?b",
                                            "a*b",
                                            "a[b",
                                            "a\\b",
                                            "-x",
                                            "--all",
                                            "x.lock",
                                            "a.lock/b",
                                            "x/",
                                            "/x",
                                            "a//b",
                                            "a@{b",
                                            "x.",
                                            ".x",
                                            "a/.b",
                                            "a\nb",
                                            "a\tb",
                                            "a\x7f",
                                            "dev-ABC-1-x;touch PWNED",
                                            "dev-T-$(touch PWNED)"};

  TempDir outside_any_repository;
  for (const auto& name : accepted) {
    EXPECT_NO_THROW(validate_branch_name(name)) << name;
    EXPECT_TRUE(git_accepts_branch_name(outside_any_repository.path(), name)) << name;
  }
  for (const auto& name : refused) {
    EXPECT_THROW(validate_branch_name(name), OnboardingError) << name;
    EXPECT_FALSE(git_accepts_branch_name(outside_any_repository.path(), name)) << name;
  }
  // "--branch" reads "@" as HEAD, and git 2.39 still takes "HEAD" as a branch
  // name; a branch of either name would be confused with HEAD, so both are refused.
  EXPECT_THROW(validate_branch_name("@"), OnboardingError);
  EXPECT_THROW(validate_branch_name("HEAD"), OnboardingError);

  EXPECT_EQ(failure_of([] { validate_branch_name("dev-ABC-1-my app"); }),
            "Invalid branch name: dev-ABC-1-my app (it contains a blank)");
  EXPECT_EQ(failure_of([] { validate_branch_name("dev-A-1-x\ny"); }),
            "Invalid branch name: dev-A-1-x\\x0ay (it contains a control character)");
}

// ---------------------------------------------------------------------------
// Against a real remote and working copy

class WorkspaceTest : public ::testing::Test {
 protected:
  WorkspaceTest() : git_(root_.path()), cwd_(root_.path()) {
    settings_.git_committer_email = "bot@example.com";
    settings_.git_committer_name = "Onboarding Bot";
    settings_.repo_path = git_.work();
    settings_.repo_dir = git_.work();
    settings_.children = read_settings("/").children;
  }

  std::string work(const std::string& name) const { return git_.work() + "/" + name; }
  // The request file at `path`, as the pipeline loads it.
  static RequestFile request(const std::string& path) { return load_request_file(path); }
  std::string in_work(const std::string& command) const { return sh(command, git_.work()); }

  TempDir root_;
  GitRemoteFixture git_;
  ScopedCwd cwd_;
  Settings settings_;
};

TEST_F(WorkspaceTest, ValidateGitRepoEntersADirtyButConflictFreeWorkingCopy) {
  write_file(work("README.md"), "changed\n");
  write_file(work("untracked.txt"), "new\n");
  LogCapture log;
  validate_git_repo(settings_.children, "given/as/typed", git_.work() + "/");
  EXPECT_EQ(current_directory(), git_.work());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO - ✅ Git repository validation passed"});
}

TEST_F(WorkspaceTest, ValidateGitRepoRefusesWhatIsNoRepositoryAndStaysPut) {
  const std::string before = current_directory();
  write_file(root_ / "plain-file", "x");
  for (const std::string& path : {root_.path(), root_ / "missing", root_ / "plain-file"}) {
    EXPECT_EQ(failure_of([&] { validate_git_repo(settings_.children, "shown-" + path, path); }),
              "shown-" + path + " is not a git repository");
    EXPECT_EQ(current_directory(), before);
  }
}

TEST_F(WorkspaceTest, ValidateGitRepoAcceptsALinkedWorkTreeWhoseGitEntryIsAFile) {
  in_work("git worktree add -q ../linked staging");
  ASSERT_FALSE(read_file(root_ / "linked/.git").empty());
  validate_git_repo(settings_.children, "linked", root_ / "linked");
  EXPECT_EQ(current_directory(), root_ / "linked");
}

TEST_F(WorkspaceTest, ValidateGitRepoRefusesMergeConflictsAfterEnteringTheCopy) {
  in_work("git checkout -q -b other && echo theirs > README.md && " + kCommit + " -am theirs");
  in_work("git checkout -q dev && echo ours > README.md && " + kCommit + " -am ours");
  in_work("git merge -q other >/dev/null 2>&1 || true");
  ASSERT_NE(in_work("git status --porcelain").find("UU README.md"), std::string::npos);

  LogCapture log;
  EXPECT_EQ(failure_of([&] { validate_git_repo(settings_.children, "work", git_.work()); }),
            "Repository has merge conflicts that need manual resolution");
  EXPECT_EQ(current_directory(), git_.work());
  EXPECT_TRUE(log.records().empty());

  // The clean-up clears the unmerged entries.
  cleanup_repo_state(settings_.children);
  EXPECT_FALSE(has_merge_conflicts(in_work("git status --porcelain")));
  EXPECT_TRUE(log.contains(LogLevel::Warning, "Dirty/conflicted index detected — resetting..."));
}

// What fails every file is refused up front, by the run and the dry run
// alike, with the file and what to do; a detached HEAD is no such state.
TEST_F(WorkspaceTest, ValidationRefusesALeftoverIndexLockAndAnUnreadableHead) {
  const std::string git_dir = work(".git");
  const std::string head_hint = "): write it anew (echo 'ref: refs/heads/BRANCH' > " + git_dir +
                                "/HEAD) or clone the working copy again";
  const struct {
    const char* state;  // a shell command run in the git directory
    std::string failure;
  } cases[] = {
      {"touch index.lock", "Working copy work holds a leftover " + git_dir +
                               "/index.lock from an interrupted git command: once no git "
                               "command is running in it, remove that file and run again"},
      {"rm HEAD", "Working copy work has no readable HEAD (" + git_dir +
                      "/HEAD: No such file or directory" + head_hint},
      {"echo garbage > HEAD", "Working copy work has no readable HEAD (" + git_dir +
                                  "/HEAD: it holds neither a branch nor a commit" + head_hint},
      {"git rev-parse HEAD > HEAD.new && mv HEAD.new HEAD", ""},
  };
  const std::string head = read_file(git_dir + "/HEAD");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    sh(c.state, git_dir);
    EXPECT_EQ(failure_of([&] { validate_git_repo(settings_.children, "work", git_.work()); }),
              c.failure);
    EXPECT_EQ(failure_of([&] { inspect_working_copy(settings_.children, "work", git_.work()); }),
              c.failure);
    sh("rm -f index.lock", git_dir);
    write_file(git_dir + "/HEAD", head);
  }
}

TEST_F(WorkspaceTest, ConfigureGitIdentityWritesBothValuesLiterally) {
  ScopedCwd inside(git_.work());
  settings_.git_committer_name =
      std::string("Ann \"$(touch PWNED)\" `touch PWNED` \\ O'Neil $HOME");
  LogCapture log;
  configure_git_identity(settings_);
  EXPECT_EQ(in_work("git config user.name"),
            "Ann \"$(touch PWNED)\" `touch PWNED` \\ O'Neil $HOME");
  EXPECT_EQ(in_work("git config user.email"), "bot@example.com");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{
                "INFO - 🔧 Git identity set → Ann \"$(touch PWNED)\" `touch PWNED` \\ O'Neil "
                "$HOME <bot@example.com>"});
  EXPECT_FALSE(file_exists(work("PWNED")));
}

TEST_F(WorkspaceTest, ConfigureGitIdentityWithoutNameKeepsTheConfiguredOne) {
  ScopedCwd inside(git_.work());
  in_work("git config user.name 'Earlier Name'");
  settings_.git_committer_name = std::nullopt;
  LogCapture log;
  configure_git_identity(settings_);
  EXPECT_EQ(in_work("git config user.name"), "Earlier Name");
  EXPECT_TRUE(
      log.contains(LogLevel::Info, "🔧 Git identity set → (name unchanged) <bot@example.com>"));

  for (const std::optional<std::string>& email :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    settings_.git_committer_email = email;
    EXPECT_EQ(failure_of([&] { configure_git_identity(settings_); }),
              "❌ GIT_COMMITTER_EMAIL not set in .env");
  }
  EXPECT_EQ(in_work("git config user.email"), "bot@example.com");
}

TEST_F(WorkspaceTest, CleanupResetsTrackedChangesAndKeepsUntrackedFiles) {
  ScopedCwd inside(git_.work());
  LogCapture log;
  cleanup_repo_state(settings_.children);
  EXPECT_TRUE(log.records().empty()) << "a clean copy logs nothing";

  write_file(work("README.md"), "local edit\n");
  write_file(work("staged.txt"), "staged\n");
  in_work("git add staged.txt");
  write_file(work("notes.txt"), "keep me\n");
  cleanup_repo_state(settings_.children);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"WARNING - Dirty/conflicted index detected — resetting..."});
  EXPECT_EQ(read_file(work("README.md")), "Configuration repository\n");
  EXPECT_EQ(read_file(work("notes.txt")), "keep me\n");
  EXPECT_EQ(in_work("git diff --cached --name-only"), "");

  // Untracked files keep the copy "dirty": the warning comes again.
  log.clear();
  cleanup_repo_state(settings_.children);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(WorkspaceTest, CleanupDropsOnlyTheNewestLeftoverStash) {
  ScopedCwd inside(git_.work());
  for (const std::string name : {"first", "second", "third"})
    in_work("echo " + name +
            " >> README.md && git -c user.name=T -c user.email=t@e stash push -q -m " + name);
  LogCapture log;
  cleanup_repo_state(settings_.children);
  const std::string newest_line = "stash@{0}: On dev: third";
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"INFO - 🗑️ Dropping leftover stash: " + newest_line});
  EXPECT_EQ(in_work("git stash list"), "stash@{0}: On dev: second\nstash@{1}: On dev: first");
}

TEST_F(WorkspaceTest, CheckBranchExistsLocallyOnTheRemoteOrNowhere) {
  ScopedCwd inside(git_.work());
  in_work("git branch local-only");
  git_.remote_git("branch remote-only dev");
  git_.remote_git("branch team/wanted dev");

  EXPECT_TRUE(check_branch_exists(settings_.children, "local-only"));
  EXPECT_TRUE(check_branch_exists(settings_.children, "remote-only"));
  EXPECT_FALSE(check_branch_exists(settings_.children, "nowhere"));
  // ls-remote would also list team/wanted; only the exact name counts.
  EXPECT_FALSE(check_branch_exists(settings_.children, "wanted"));
  EXPECT_TRUE(check_branch_exists(settings_.children, "team/wanted"));
  EXPECT_THROW(check_branch_exists(settings_.children, "--all"), OnboardingError);

  // Per run, origin is as the run's fetch found it: a branch pushed since is
  // not seen, and "wanted" still is not "team/wanted".
  fetch_origin(settings_.children, OriginSync::PerRun);
  git_.remote_git("branch pushed-since dev");
  for (const auto& [name, exists] : {std::pair("remote-only", true), std::pair("local-only", true),
                                     std::pair("pushed-since", false), std::pair("wanted", false),
                                     std::pair("team/wanted", true)})
    EXPECT_EQ(check_branch_exists(settings_.children, name, OriginSync::PerRun), exists) << name;
}

TEST_F(WorkspaceTest, CheckBranchExistsFailsWhenTheRemoteIsUnreachable) {
  ScopedCwd inside(git_.work());
  in_work("git branch local-only");
  in_work("git remote set-url origin " + root_ / "gone.git");
  EXPECT_TRUE(check_branch_exists(settings_.children, "local-only")) << "the remote is not asked";

  LogCapture log;
  const std::string failure =
      failure_of([&] { check_branch_exists(settings_.children, "nowhere"); });
  EXPECT_EQ(failure.rfind("Command failed: git ls-remote --heads origin nowhere\nError: ", 0), 0u)
      << failure;
  EXPECT_NE(failure.find("gone.git"), std::string::npos) << failure;
  EXPECT_TRUE(log.contains(LogLevel::Error, failure));
}

// ---------------------------------------------------------------------------
// create_branch_and_commit

// Per file the target is pulled (here without an upstream to pull from); per
// run it is fast-forwarded to what the run fetched (here gone its own way).
TEST_F(WorkspaceTest, TargetThatCannotBeBroughtUpToDateLeavesNoBranchAndRunsNoRollback) {
  in_work("git branch -q --unset-upstream dev");
  in_work(
      "git update-ref refs/remotes/origin/dev $(git -c user.name=T -c user.email=t@e commit-tree "
      "-p HEAD -m theirs HEAD^{tree})");
  in_work(kCommit + " --allow-empty -m ours");
  write_file(root_ / "ABC-12_dev_web_app.yaml", "");
  for (const auto& [sync, command] :
       {std::pair(OriginSync::PerRun, "git merge --ff-only refs/remotes/origin/dev"),
        std::pair(OriginSync::PerFile, "git pull")}) {
    SCOPED_TRACE(command);
    settings_.origin_sync = sync;
    LogCapture log;
    const std::string failure = failure_of(
        [&] { create_branch_and_commit(settings_, request(root_ / "ABC-12_dev_web_app.yaml")); });
    EXPECT_EQ(failure.rfind("Command failed: " + std::string(command) + "\nError: ", 0), 0u)
        << failure;
    EXPECT_TRUE(log.contains(LogLevel::Error, "Failed during branch operations: " + failure));
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("Rolled back"), std::string::npos);
    EXPECT_FALSE(git_.local_has_branch("dev-ABC-12-web_app"));
    EXPECT_EQ(in_work("git branch --show-current"), "dev");
  }
}

// Normally the clean-up leaves nothing to stash. A post-checkout hook that
// edits a tracked file after "git checkout -- ." makes the stash road real.
TEST_F(WorkspaceTest, StashedChangesArePoppedBackOntoTheTargetBranchWhateverThePushDoes) {
  write_file(work(".git/hooks/post-checkout"),
             "#!/bin/sh\n[ \"$3\" = 0 ] && echo 'edit made by hook' >> README.md\nexit 0\n");
  in_work("chmod +x .git/hooks/post-checkout");
  write_file(root_ / "ABC-12_dev_web_app.yaml", "");
  for (const bool push_refused : {false, true}) {
    SCOPED_TRACE(push_refused ? "push refused" : "pushed");
    if (push_refused) {
      write_file(git_.remote() + "/hooks/pre-receive", "#!/bin/sh\nexit 1\n");
      sh("chmod +x hooks/pre-receive", git_.remote());
      git_.remote_git("branch -D dev-ABC-12-web_app");
      in_work("git branch -D dev-ABC-12-web_app");
    }
    write_file(work("README.md"), "dirty\n");
    LogCapture log;
    const std::string failure = failure_of(
        [&] { create_branch_and_commit(settings_, request(root_ / "ABC-12_dev_web_app.yaml")); });
    EXPECT_EQ(failure.empty(), !push_refused) << failure;
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.starts_with(
          "INFO - 📦 Stashed local changes: Saved working directory and "
          "index state WIP on dev: ");
    }));
    EXPECT_EQ(lines.back(), "INFO - 📦 Restored stashed changes");
    EXPECT_EQ(git_.remote_has_branch("dev-ABC-12-web_app"), !push_refused);
    EXPECT_EQ(in_work("git branch --show-current"), "dev");
    EXPECT_EQ(read_file(work("README.md")), "Configuration repository\nedit made by hook\n");
    EXPECT_EQ(in_work("git stash list"), "");
  }
}

// An edited request goes on top of the branch as one commit with the update
// message; a refused push takes that commit back with the local branch, and
// origin keeps what it had.
TEST_F(WorkspaceTest, AnUpdateIsOneCommitOnTheBranchAndARefusedPushTakesItBack) {
  const std::string path = root_ / "ABC-12_dev_web_app.yaml", branch = "dev-ABC-12-web_app";
  write_file(path, "owner: a\n");
  create_branch_and_commit(settings_, request(path));
  const std::string onboarded = git_.remote_git("rev-parse " + branch);
  write_file(path, "owner: b\n");
  write_file(git_.remote() + "/hooks/pre-receive", "#!/bin/sh\nexit 1\n");
  sh("chmod +x hooks/pre-receive", git_.remote());
  // Per run the push leases the branch where the run's fetch found it.
  const std::string leased_push =
      "git push --force-with-lease=refs/heads/" + branch + ":" + onboarded + " origin " + branch;
  const struct {
    OriginSync sync;
    bool push_refused;
    std::string push;
  } cases[] = {{OriginSync::PerRun, true, leased_push},
               {OriginSync::PerFile, true, "git push origin " + branch},
               {OriginSync::PerFile, false, ""}};
  for (const auto& c : cases) {
    const bool push_refused = c.push_refused;
    SCOPED_TRACE(c.push);
    settings_.origin_sync = c.sync;
    if (!push_refused) sh("rm hooks/pre-receive", git_.remote());
    LogCapture log;
    const std::string failure =
        failure_of([&] { commit_on_own_branch(settings_, request(path), onboarded, true); });
    EXPECT_EQ(failure.starts_with("Command failed: " + c.push + "\n"), push_refused) << failure;
    EXPECT_EQ(log.contains(LogLevel::Info, "🔄 Rolled back: deleted branch " + branch),
              push_refused);
    EXPECT_EQ(git_.local_has_branch(branch), !push_refused);
    EXPECT_EQ(in_work("git branch --show-current"), push_refused ? "dev" : branch);
  }
  EXPECT_EQ(git_.remote_git("rev-parse " + branch + "^"), onboarded);
  EXPECT_EQ(git_.remote_commit_message(branch), "ABC-12: update web_app for dev environment");
  EXPECT_EQ(git_.remote_file(branch, "ABC-12_dev_web_app.yaml"), "owner: b");
}

TEST_F(WorkspaceTest, UnreachableRepoDirFailsInPreparation) {
  settings_.repo_path = "relative/repo";
  settings_.repo_dir = root_ / "relative/repo";
  const std::string failure = failure_of([&] {
    plan_request(settings_,
                 RequestFile{{"A-1", "dev", "x"}, "dev-A-1-x", "dev", "x.yaml", "", "", {}},
                 OriginTargets(), MergeRequestLookups(), PlanMode::Run);
  });
  EXPECT_EQ(failure, "Cannot change into REPO_PATH relative/repo: No such file or directory");
}

}  // namespace
}  // namespace quillmere::git_workspace_test

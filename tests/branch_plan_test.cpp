#include "quillmere/git/branch_plan.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillmere/git/git_workspace.h"
#include "quillmere/util/error.h"
#include "tests/support/git_fixture.h"
#include "tests/support/matchers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::branch_plan_test {
namespace {

using testing::GitRemoteFixture;
using testing::sh;
using testing::TempDir;
using testing::write_file;

constexpr const char* kName = "ABC-1_dev_web.yaml";
constexpr const char* kBranch = "dev-ABC-1-web";
constexpr const char* kContent = "owner: team-web\n";
constexpr const char* kMessage = "ABC-1: onboard web to dev environment";
constexpr const char* kUpdate = "ABC-1: update web for dev environment";
constexpr const char* kEdited = "owner: team-web-2\n";

// A real remote and working copy, and a git on PATH that records every
// command the code under test starts.
class PlanTest : public ::testing::Test {
 public:
  PlanTest() : git_(root_.path()) {
    testing::write_recording_git(root_ / "bin", root_ / "commands");
    settings_.repo_path = settings_.repo_dir = git_.work();
    settings_.children = read_settings("/").children;
    request_ = {{"ABC-1", "dev", "web"}, kBranch, "dev", kName, root_ / kName, kContent, {}};
  }

  // Commits `content` as `name` with `message` on a new branch from dev and
  // pushes it: from a clone of its own (`elsewhere`), or in the working copy.
  void commit_branch(const std::string& name, const std::string& content,
                     const std::string& message, bool elsewhere, bool push) const {
    const std::string dir = elsewhere ? root_ / "other" : git_.work();
    if (elsewhere && !testing::file_exists(dir)) sh("git clone -q remote.git other", root_.path());
    write_file(root_ / "content", content);
    sh("git checkout -q -b " + std::string(kBranch) + " origin/dev && cp ../content '" + name +
           "' && git add -A && git -c user.name=" + (elsewhere ? "Other" : "T") +
           " -c user.email=t@e commit -q -m '" + message + "'" +
           (push ? " && git push -q origin " + std::string(kBranch) : "") +
           " && git checkout -q --detach",
       dir);
    if (!elsewhere) sh("git checkout -q dev", dir);
  }

  // One more commit of `content` with `message` on the branch, from where
  // commit_branch() made it, pushed.
  void add_commit(const std::string& name, const std::string& content, const std::string& message,
                  bool elsewhere) const {
    const std::string dir = elsewhere ? root_ / "other" : git_.work();
    write_file(root_ / "content", content);
    sh("git checkout -q " + std::string(kBranch) + " && cp ../content '" + name +
           "' && git add -A && git -c user.name=T -c user.email=t@e commit -q -m '" + message +
           "' && git push -q origin " + kBranch + " && git checkout -q --detach",
       dir);
    if (!elsewhere) sh("git checkout -q dev", dir);
  }

  // What GitLab does when the branch's merge request is closed with its
  // branch deleted: origin keeps the head as refs/merge-requests/1/head.
  void close_deleting_branch() const {
    git_.remote_git("update-ref refs/merge-requests/1/head refs/heads/" + std::string(kBranch));
    git_.remote_git("update-ref -d refs/heads/" + std::string(kBranch));
  }

  // No branch of the request's name anywhere, and no clone but the working copy.
  void TearDownBranches() const {
    sh("git checkout -q dev && { git branch -q -D " + std::string(kBranch) +
           " 2>/dev/null; git update-ref -d refs/remotes/origin/" + kBranch +
           "; git push -q -f origin dev; true; }",
       git_.work());
    sh("git branch -q -D " + std::string(kBranch) +
           " 2>/dev/null; rm -rf ../other; git update-ref -d refs/merge-requests/1/head; true",
       git_.remote());
  }

  std::vector<std::string> commands() const {
    return testing::split_lines(testing::read_file(root_ / "commands"));
  }

  RequestPlan plan(PlanMode mode, const OriginTargets& targets = {},
                   std::optional<nlohmann::json> open = std::nullopt,
                   std::optional<nlohmann::json> closed = std::nullopt) {
    testing::ScopedEnv path;
    path.set("PATH", root_ / "bin:" + std::getenv("PATH"));
    testing::ScopedCwd cwd(root_.path());
    lookups_ = 0;
    const auto answer = [&](const std::optional<nlohmann::json>& given) {
      return [&, given] {
        ++lookups_;
        if (!lookup_failure_.empty()) throw OnboardingError(lookup_failure_);
        return given;
      };
    };
    return plan_request(settings_, request_, targets, {answer(open), answer(closed), {}}, mode);
  }

  TempDir root_;
  GitRemoteFixture git_;
  Settings settings_;
  RequestFile request_;
  int lookups_ = 0;
  std::string lookup_failure_;  ///< what the merge request look-up fails with
};

const std::string kExists =
    std::string("Branch ") + kBranch + " already exists! Skipping to avoid conflicts.";

const nlohmann::json kOpen = {{"iid", 1}, {"web_url", "https://gitlab/mr/1"}};
const nlohmann::json kClosed = {{"iid", 1}, {"web_url", "https://gitlab/mr/1"}};

// Each row sets up the request's branch and its merge requests one way and
// names the plan, the merge request look-ups and what git was asked.
TEST_F(PlanTest, OneLookAtTheBranchDecides) {
  struct Row {
    std::string name;
    std::function<void(PlanTest&)> setup;
    PlanMode mode;
    PlanKind kind;
    bool push;
    std::string reason;
    int lookups;
    bool asks_origin;
    std::optional<nlohmann::json> open = std::nullopt;
    std::optional<nlohmann::json> closed = std::nullopt;
    std::string content = kContent;  // the request's bytes
  };
  const auto own = [](bool elsewhere, bool push) {
    return [=](PlanTest& t) { t.commit_branch(kName, kContent, kMessage, elsewhere, push); };
  };
  const auto updated_by = [](std::string message) {
    return [=](PlanTest& t) {
      t.commit_branch(kName, kContent, kMessage, true, true);
      t.add_commit(kName, kEdited, message, true);
    };
  };
  const auto deleted_with_close = [](PlanTest& t) {
    t.commit_branch(kName, kContent, kMessage, true, true);
    t.close_deleting_branch();
  };
  std::vector<Row> rows = {
      {"no branch", [](PlanTest&) {}, PlanMode::Run, PlanKind::Onboard, false, "", 1, true},
      {"own leftover, only here", own(false, false), PlanMode::Run, PlanKind::TakeUp, true, "", 1,
       true},
      {"own leftover, pushed", own(false, true), PlanMode::Run, PlanKind::TakeUp, false, "", 2,
       true},
      // The dry run first: the run fetches what it looks at.
      {"own, only on origin, dry run", own(true, true), PlanMode::Check, PlanKind::Undecided, false,
       "", 0, true},
      {"own, only on origin", own(true, true), PlanMode::Run, PlanKind::TakeUp, false, "", 2, true},
      {"foreign here",
       [](PlanTest& t) { t.commit_branch(kName, "owner: someone\n", "by hand", false, true); },
       PlanMode::Run, PlanKind::Refuse, false, kExists, 0, false},
      {"the same bytes under another name",
       [](PlanTest& t) { t.commit_branch("other.yaml", kContent, kMessage, false, false); },
       PlanMode::Run, PlanKind::Refuse, false, kExists, 0, false},
      {"foreign, only on origin",
       [](PlanTest& t) { t.commit_branch(kName, kContent, "by hand", true, true); }, PlanMode::Run,
       PlanKind::Refuse, false, kExists, 0, true},
      {"a person's commit on the tool's branch", updated_by("fix by hand"), PlanMode::Run,
       PlanKind::Refuse, false, kExists, 0, true, kOpen, std::nullopt, kEdited},
      {"edited, its merge request open", own(true, true), PlanMode::Run, PlanKind::Update, false,
       "", 1, true, kOpen, std::nullopt, kEdited},
      {"updated before, unchanged since", updated_by(kUpdate), PlanMode::Run,
       PlanKind::AlreadyOnboarded, false, "", 1, true, kOpen, std::nullopt, kEdited},
      {"closed, unchanged", own(true, true), PlanMode::Run, PlanKind::Declined, false, "", 2, true,
       std::nullopt, kClosed},
      {"closed, edited", own(true, true), PlanMode::Run, PlanKind::ProposeAgain, false, "", 2, true,
       std::nullopt, kClosed, kEdited},
      {"closed with its branch, unchanged", deleted_with_close, PlanMode::Run, PlanKind::Declined,
       false, "", 1, true, std::nullopt, kClosed},
      {"closed with its branch, dry run",
       [&](PlanTest& t) {
         // A commit of its own: one made in the same second by a row before
         // would already be here, fetched.
         testing::ScopedEnv date;
         date.set("GIT_COMMITTER_DATE", "2001-02-03T04:05:06Z");
         deleted_with_close(t);
       },
       PlanMode::Check, PlanKind::Undecided, false, "", 1, true, std::nullopt, kClosed},
      {"closed with its branch, edited", deleted_with_close, PlanMode::Run, PlanKind::Onboard,
       false, "", 1, true, std::nullopt, kClosed, kEdited},
      {"merged with its branch kept, edited",
       [](PlanTest& t) {
         t.commit_branch(kName, kContent, kMessage, true, true);
         sh("git checkout -q dev && git merge -q --no-ff -m merged origin/" + std::string(kBranch) +
                " && git push -q origin dev && git -C ../work fetch -q",
            t.root_ / "other");
       },
       PlanMode::Run, PlanKind::ProposeAgain, false, "", 2, true, std::nullopt, std::nullopt,
       kEdited},
      {"own here, another commit on origin",
       [](PlanTest& t) {
         t.commit_branch(kName, kContent, kMessage, true, true);
         t.commit_branch(kName, kContent, kMessage, false, false);
       },
       PlanMode::Run, PlanKind::Refuse, false, kExists, 0, true},
      // Last: dev normalises line endings from here on.
      {"own, the request written with CRLF",
       [](PlanTest& t) {
         // Committed once, the per-run round finds it there.
         sh("printf '* text=auto eol=lf\\n' > .gitattributes && git add .gitattributes && "
            "{ git diff --cached --quiet || git -c user.name=T -c user.email=t@e commit -q -m eol; "
            "} && git push -q origin dev",
            t.git_.work());
         t.request_.content = "owner: team-web\r\n";
         t.commit_branch(kName, t.request_.content, kMessage, false, true);
       },
       PlanMode::Run, PlanKind::TakeUp, false, "", 2, true, std::nullopt, std::nullopt,
       "owner: team-web\r\n"},
  };
  // The run and the dry run reach the same verdict: a merge request look-up
  // that fails, or a target origin does not have, fails the request in both.
  const auto lookup_fails = [](PlanTest& t) {
    t.commit_branch(kName, kContent, kMessage, false, true);
    t.lookup_failure_ = "API request failed: HTTP 500";
  };
  const auto no_target_on_origin = [](PlanTest& t) {
    t.git_.remote_git("update-ref -d refs/heads/dev");
  };
  for (const PlanMode mode : {PlanMode::Run, PlanMode::Check}) {
    rows.push_back({"look-up fails", lookup_fails, mode, PlanKind::Refuse, false,
                    "API request failed: HTTP 500", 1, true});
    rows.push_back({"no target on origin", no_target_on_origin, mode, PlanKind::Refuse, false,
                    "origin has no branch dev to pull", 1, true});
  }
  // Per run, the same decisions come from the run's fetch, without asking
  // origin about branches; the dry run does not fetch and always asks.
  for (const OriginSync sync : {OriginSync::PerFile, OriginSync::PerRun})
    for (const Row& row : rows) {
      const bool per_run = sync == OriginSync::PerRun;
      if (per_run && row.mode == PlanMode::Check) continue;
      SCOPED_TRACE(row.name + (per_run ? " (per-run)" : ""));
      settings_.origin_sync = sync;
      TearDownBranches();
      request_.content = row.content;
      lookup_failure_.clear();
      row.setup(*this);
      if (per_run) {
        testing::ScopedCwd cwd(git_.work());
        fetch_origin(settings_.children, sync);
      }
      write_file(root_ / "commands", "");
      const RequestPlan result = plan(row.mode, {}, row.open, row.closed);
      EXPECT_EQ(result.kind, row.kind);
      EXPECT_EQ(result.push, row.push);
      if (!row.reason.empty()) {
        EXPECT_EQ(result.reason, row.reason);
      }
      EXPECT_EQ(lookups_, row.lookups);
      const std::vector<std::string> asked = commands();
      ASSERT_FALSE(asked.empty());
      EXPECT_EQ(asked.front(), std::string("branch --list ") + kBranch);
      EXPECT_EQ(std::count(asked.begin(), asked.end(), asked.front()), 1);
      const auto asks_about_branches = Contains(StartsWith("ls-remote --heads"));
      const auto contacts_origin =
          Contains(AllOf(HasSubstr("origin"), Not(HasSubstr("refs/remotes"))));
      if (per_run)
        EXPECT_THAT(asked, Not(asks_about_branches));
      else if (row.asks_origin)
        EXPECT_THAT(asked, contacts_origin);
      else
        EXPECT_THAT(asked, Not(contacts_origin));
      // Nothing is ever pushed while planning, and the dry run fetches nothing.
      EXPECT_THAT(asked, Not(Contains(StartsWith("push"))));
      if (row.mode == PlanMode::Check) {
        EXPECT_THAT(asked, Not(Contains(StartsWith("fetch"))));
      }
    }
}

TEST_F(PlanTest, AnOpenMergeRequestOrTheTargetMakeItAlreadyOnboarded) {
  commit_branch(kName, kContent, kMessage, false, true);
  const RequestPlan with_open = plan(PlanMode::Run, {}, nlohmann::json{{"web_url", "u"}});
  EXPECT_EQ(with_open.kind, PlanKind::AlreadyOnboarded);
  EXPECT_EQ(with_open.open_merge_request, (nlohmann::json{{"web_url", "u"}}));

  OriginTargets targets;
  targets.add("dev", kName, kContent);
  write_file(root_ / "commands", "");
  const RequestPlan on_target = plan(PlanMode::Run, targets);
  EXPECT_EQ(on_target.kind, PlanKind::AlreadyOnboarded);
  EXPECT_FALSE(on_target.open_merge_request);
  EXPECT_THAT(commands(), IsEmpty());
}

TEST_F(PlanTest, NamesGitWouldRefuseAreRefusedWithoutAGitCommand) {
  for (const auto& [branch, target, reason] : std::vector<std::array<std::string, 3>>{
           {"dev-ABC-1-x;touch PWNED", "dev",
            "Invalid branch name: dev-ABC-1-x;touch PWNED (it contains a blank)"},
           {kBranch, "--all", "Invalid branch name: --all (it begins with \"-\")"},
       }) {
    request_.branch = branch;
    request_.target = target;
    write_file(root_ / "commands", "");
    const RequestPlan result = plan(PlanMode::Run);
    EXPECT_EQ(result.kind, PlanKind::Refuse);
    EXPECT_EQ(result.reason, reason);
    EXPECT_THAT(commands(), IsEmpty());
  }
}

TEST_F(PlanTest, RequestsAreComparedAsGitStoresThemWithAFewGitCommandsForAll) {
  // dev: a file committed with CRLF before dev normalised line endings, then
  // .gitattributes and files added under it; staging: no attributes at all.
  sh("printf 'a\\r\\nb\\r\\n' > crlf-before.yaml && git add -A && git -c user.name=T "
     "-c user.email=t@e commit -q -m before && printf '* text=auto eol=lf\\n' > .gitattributes "
     "&& printf 'same\\n' > same.yaml && printf 'old\\n' > changed.yaml && "
     "printf 'x\\r\\n' > 'a b.yaml' && git add -A && git -c user.name=T -c user.email=t@e "
     "commit -q -m seed && git push -q origin dev && git checkout -q -b st origin/staging && "
     "printf 'x\\n' > lf.yaml && git add -A && git -c user.name=T -c user.email=t@e commit -q "
     "-m lf && git push -q origin HEAD:staging && git checkout -q dev",
     git_.work());
  struct Row {
    std::string target, name, content;
    bool held;
  };
  const std::vector<Row> rows = {
      {"dev", "same.yaml", "same\n", true},
      {"dev", "changed.yaml", "new\n", false},
      {"dev", "absent.yaml", "x", false},
      {"staging", "same.yaml", "same\n", false},
      {"dev", "a b.yaml", "x\r\n", true},               // stored with LF, as dev says
      {"dev", "crlf-before.yaml", "a\r\nb\r\n", true},  // the bytes as they are
      {"staging", "lf.yaml", "x\r\n", false},           // no rule: CRLF stays CRLF
      {"dev", "line\nbreak.yaml", "x", false},
      {"no such", "same.yaml", "same\n", false},
  };
  std::vector<TargetFile> files;
  for (const Row& row : rows) {
    const std::string path = root_ / ("request-" + std::to_string(files.size()));
    write_file(path, row.content);
    files.push_back({row.target, row.name, path});
  }
  write_file(root_ / "commands", "");
  testing::ScopedEnv path;
  path.set("PATH", root_ / "bin:" + std::getenv("PATH"));
  testing::ScopedCwd cwd(git_.work());
  const OriginTargets targets = compare_with_origin(settings_, files);
  for (const Row& row : rows)
    EXPECT_EQ(targets.holds(row.target, row.name, row.content), row.held) << row.name;
  EXPECT_FALSE(targets.holds("dev", "same.yaml", "same"));
  // One question for all names, one hash per distinct .gitattributes, one for
  // the bytes of those that differ.
  EXPECT_THAT(commands(), ElementsAre("cat-file --batch-check", StartsWith("cat-file blob "),
                                      HasSubstr("--work-tree=. hash-object --stdin-paths"),
                                      HasSubstr("--work-tree=. hash-object --stdin-paths"),
                                      HasSubstr(" hash-object --no-filters --stdin-paths")));
}

}  // namespace
}  // namespace quillmere::branch_plan_test

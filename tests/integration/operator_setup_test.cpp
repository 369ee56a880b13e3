// Where operators put it, with the real binary on the onboarding rig: a .env
// committed to the requests repository is not read (and the CI lint fails
// it), the cron line reads the packaged settings file from cron's bare
// environment, a broken set-up stops the run before anything is pushed, one
// failure card per set of failures, JSON log records.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere::operator_setup_test {
namespace {

using testing::Environment;
using testing::ProcessResult;
using testing::RunLog;

constexpr const char* kAlpha = "ABC-1_dev_alpha.yaml";

std::string source_file(const std::string& path) {
  return testing::read_file(std::string(QUILLMERE_SOURCE_DIR) + "/" + path);
}

class OperatorSetupTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  OperatorSetupTest() { add_request(kAlpha, "owner: team-alpha\n"); }
};

// The CI example's job starts in a checkout of the requests repository.
TEST_F(OperatorSetupTest, ADotenvCommittedToTheRequestsRepositoryChangesNothing) {
  const std::string checkout = root / "run";
  testing::write_file(checkout + "/.env", "https_proxy=http://127.0.0.1:9\nREVIEWER_USERNAMES=x\n");
  testing::sh("git init -q && git add .env", checkout);
  Environment env = environment();
  env.erase("REVIEWER_USERNAMES");  // not among the job's CI/CD variables
  const RunLog log(run_with(env).err);
  EXPECT_TRUE(log.has("WARNING - ⚠️ Not reading settings from " + checkout +
                      "/.env: it is tracked by git in the repository " + checkout));
  EXPECT_TRUE(log.has("INFO - Processing complete: 1 succeeded, 0 failed")) << dump(log);
  EXPECT_TRUE(log.has("INFO - 👥 Reviewers: []"));

  // The lint job's check, from "dotenv=$(" to its "fi", fails the merge request.
  std::string check = source_file("contrib/gitlab-ci/.gitlab-ci.yml");
  check = check.substr(check.find("dotenv=$("));
  check = check.substr(0, check.find("\n      fi\n") + 10);
  const ProcessResult refused = testing::run_process({"/bin/sh", "-c", check}, checkout, {});
  EXPECT_EQ(refused.exit_status, 1) << check;
  EXPECT_THAT(refused.out, HasSubstr(": .env"));
  testing::sh("git rm -q --cached .env", checkout);
  EXPECT_EQ(testing::run_process({"/bin/sh", "-c", check}, checkout, {}).exit_status, 0);
}

// The shipped cron line from cron's bare environment, on a settings file laid
// out as the package's: values unquoted, a Workflows URL full of "&".
TEST_F(OperatorSetupTest, TheCronLineReadsThePackagedSettingsFileItself) {
  Environment settings = environment();
  settings["TEAMS_WEBHOOK_URL"] = teams.workflows_url();
  std::string text;
  for (const auto& [name, value] : settings) text += name + "=" + value + "\n";
  const std::string settings_file = root / "quillmere.env";
  testing::write_file(settings_file, text);
  // Read instead of any .env: this one would send every call to a dead proxy.
  testing::write_file(root / "run/.env", "https_proxy=http://127.0.0.1:9\n");
  const ProcessResult check =
      run_with({{"PATH", "/usr/bin:/bin"}}, {"--env-file", settings_file, "--check"});
  EXPECT_THAT(check.out, HasSubstr("\n   card:         Adaptive Card 1.4 (Workflows webhook)\n"));

  std::string line = testing::split_lines(source_file("contrib/cron/quillmere")).back();
  line = line.substr(line.find(" quillmere ") + 11);  // after the five times and the user
  line.replace(line.find("/srv/onboarding"), 15, root / "run");
  line.replace(line.find("/etc/quillmere/quillmere.env"), 28, settings_file);
  testing::make_dir(root / "cron-bin");
  ASSERT_EQ(::symlink(testing::quillmere_binary().c_str(), (root / "cron-bin/quillmere").c_str()),
            0);
  const Environment cron = {{"HOME", root.path()},
                            {"LOGNAME", "quillmere"},
                            {"SHELL", "/bin/sh"},
                            {"PATH", root / "cron-bin:/usr/local/bin:/usr/bin:/bin"}};
  EXPECT_EQ(testing::run_process({"/bin/sh", "-c", line}, root.path(), cron).exit_status, 0);
  EXPECT_TRUE(RunLog(log_text()).has("INFO - Processing complete: 1 succeeded, 0 failed"));
  EXPECT_EQ(teams.cards().size(), 1u) << "the whole URL reached the webhook, sig and all";
}

// What would fail every file stops the run, and --check, before anything is pushed.
TEST_F(OperatorSetupTest, ABrokenSetUpStopsTheRunBeforeAnythingIsPushed) {
  const std::string index_lock = git.work() + "/.git/index.lock";
  const std::pair<std::string, std::string> cases[] = {
      {"GitLab refused GITLAB_TOKEN (HTTP 401)", "glpat-revoked-0000"},
      {"Working copy " + git.work() + " holds a leftover " + index_lock +
           " from an interrupted git command: once no git command is running in it, remove that "
           "file and run again",
       kToken},
  };
  const std::string refs = git.remote_git("for-each-ref");
  for (const auto& [fatal, token] : cases) {
    if (token == kToken) testing::write_file(index_lock, "");
    Environment env = traced(environment());
    env["GITLAB_TOKEN"] = token;
    forget_git_commands();
    const ProcessResult result = run_with(env);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(RunLog(result.err).records().back(), "ERROR - Fatal error: " + fatal);
    EXPECT_THAT(git_commands(), Each(std::string("status --porcelain")));
    EXPECT_THAT(run_with(env, {"--check"}).out, HasSubstr(fatal));
  }
  EXPECT_EQ(git.remote_git("for-each-ref"), refs);
  EXPECT_THAT(gitlab.merge_requests(), IsEmpty());
}

// Eight scheduled runs with the same failing file send one card; a new
// failure sends another, naming where it comes from.
TEST_F(OperatorSetupTest, AFailureCardGoesOutOncePerSetOfFailures) {
  add_request("notes.yaml", "just: notes\n");
  const auto failure_cards = [&] {
    std::vector<nlohmann::ordered_json> cards;
    for (const nlohmann::ordered_json& card : teams.cards())
      if (card["title"].get<std::string>().starts_with("⚠️ Onboarding run:"))
        cards.push_back(card);
    return cards;
  };
  std::string last_run;
  for (int run = 1; run <= 8; ++run) last_run = this->run({{"TEAMS_NOTIFY_FAILURES", "true"}}).err;
  EXPECT_TRUE(RunLog(last_run).has(
      "INFO - 📣 Teams failure summary not sent again: the same request file(s) failed with the "
      "same errors as in the last one"));
  ASSERT_EQ(failure_cards().size(), 1u);

  add_request("more-notes.yaml", "just: more notes\n");
  run({{"TEAMS_NOTIFY_FAILURES", "true"}});
  const std::vector<nlohmann::ordered_json> cards = failure_cards();
  ASSERT_EQ(cards.size(), 2u);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::vector<std::string> facts;
  for (const auto& fact : cards.back()["sections"][0]["facts"])
    facts.push_back(fact["name"].get<std::string>() + ": " + fact["value"].get<std::string>());
  EXPECT_THAT(facts,
              ::testing::UnorderedElementsAre(
                  StartsWith("more-notes.yaml: "), StartsWith("notes.yaml: "),
                  "Host: " + std::string(host), "GitLab project: 42", "Origin: " + git.remote()));
}

// The working copy stays locked until the run's cards are out (and its report
// after them): the next run neither reads the card memory before it is
// written nor has its report overwritten by this one's. Once after a failed
// file, once after a fatal error (GitLab refuses the token).
TEST_F(OperatorSetupTest, TheWorkingCopyStaysLockedUntilTheCardsAreOut) {
  add_request("notes.yaml", "just: notes\n");
  std::atomic<int> posts = 0, unlocked = 0;
  standins::TeamsStandin::Options options;
  options.observer = [&](const standins::RecordedRequest&) {
    ++posts;
    const int fd = ::open((git.work() + "/.git/quillmere.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0) ++unlocked;
    if (fd >= 0) ::close(fd);
  };
  standins::TeamsStandin watching(options);
  const Environment changes = {{"TEAMS_NOTIFY_FAILURES", "true"},
                               {"TEAMS_WEBHOOK_URL", watching.webhook_url()}};
  EXPECT_EQ(run(changes).exit_status, 0);  // FAILED_FILES_EXIT_STATUS
  gitlab.force_next(standins::GitLabStandin::Route::kTokenSelf, {401, R"({"message":"401"})"});
  EXPECT_EQ(run(changes).exit_status, 1);
  EXPECT_EQ(watching.cards().size(), 3u);  // the onboarded file's, and one failure card a run
  EXPECT_EQ(posts, 3);
  EXPECT_EQ(unlocked, 0);
}

// Every line of a mixed run, in the file and on the console, is one record.
TEST_F(OperatorSetupTest, JsonLogRecordsAreOneObjectALineOnBothOutputs) {
  add_request("notes.yaml", "just: notes\n");
  const ProcessResult result = run({{"LOG_FORMAT", "JSON"}});
  EXPECT_EQ(log_text(), result.err);
  std::vector<std::string> by_file;
  for (const std::string& line : testing::split_lines(result.err)) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(record.is_object()) << line;
    EXPECT_THAT(record["time"].get<std::string>(), ::testing::EndsWith("+00:00"));
    by_file.push_back(record.value("file", "-") + " " + record["message"].get<std::string>());
  }
  EXPECT_THAT(by_file, Contains("notes.yaml \n📄 Processing: notes.yaml"));
  EXPECT_THAT(by_file, Contains(StartsWith("notes.yaml ❌ Failed to process notes.yaml: ")));
  EXPECT_THAT(by_file, Contains("- Processing complete: 1 succeeded, 1 failed"));
}

}  // namespace
}  // namespace quillmere::operator_setup_test

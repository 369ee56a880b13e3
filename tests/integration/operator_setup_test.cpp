// Where operators put it, with the real binary on the onboarding rig:
// settings only from the operator (a .env committed to the requests
// repository is not read, and the CI lint fails it), the packaged settings
// file read by --env-file from cron's bare environment, a broken set-up
// stopping the run before anything is pushed, one failure card per set of
// failures, and JSON log records.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/matchers.h"
#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere {
namespace {

using standins::GitLabStandin;
using testing::Environment;
using testing::ProcessResult;
using testing::RunLog;

constexpr const char* kAlpha = "ABC-1_dev_alpha.yaml";
constexpr const char* kNotes = "notes.yaml";  // names no request: fails in every run

std::string source_file(const std::string& path) {
  return testing::read_file(std::string(QUILLMERE_SOURCE_DIR) + "/" + path);
}

// The lines of `text` from the one holding `first` to the next one that is
// `last` alone, without the indentation of the first.
std::string lines_between(const std::string& text, const std::string& first,
                          const std::string& last) {
  std::string block;
  size_t indent = std::string::npos;
  for (const std::string& line : testing::split_lines(text)) {
    if (indent == std::string::npos && line.find(first) == std::string::npos) continue;
    if (indent == std::string::npos) indent = line.find_first_not_of(' ');
    const std::string unindented = line.substr(std::min(indent, line.size()));
    block += unindented + "\n";
    if (unindented == last) break;
  }
  return block;
}

class OperatorSetupTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  std::string remote_refs() const { return git.remote_git("for-each-ref"); }

  std::vector<nlohmann::ordered_json> failure_cards() const {
    std::vector<nlohmann::ordered_json> cards;
    for (const nlohmann::ordered_json& card : teams.cards())
      if (card.value("title", "").starts_with("⚠️ Onboarding run:")) cards.push_back(card);
    return cards;
  }
};

// The CI example's onboard job starts in a checkout of the requests
// repository, where a merge could add a .env.
TEST_F(OperatorSetupTest, ADotenvCommittedToTheRequestsRepositoryChangesNothing) {
  add_request(kAlpha, "owner: team-alpha\n");
  const std::string checkout = root / "run";
  testing::write_file(checkout + "/.env",
                      "https_proxy=http://127.0.0.1:9\nREVIEWER_USERNAMES=mallory\n");
  testing::sh(
      "git init -q && git add .env && git -c user.name=M -c user.email=m@example.com "
      "commit -q -m 'Add settings'",
      checkout);
  Environment env = environment();
  env.erase("REVIEWER_USERNAMES");  // not among the job's CI/CD variables

  const ProcessResult result = run_with(env);
  const RunLog log(result.err);
  EXPECT_EQ(result.exit_status, 0) << dump(log);
  EXPECT_TRUE(log.has("WARNING - ⚠️ Not reading settings from " + checkout +
                      "/.env: it is tracked by git in the repository " + checkout))
      << dump(log);
  EXPECT_TRUE(log.has("INFO - Processing complete: 1 succeeded, 0 failed")) << "no proxy used";
  EXPECT_THAT(gitlab.requests(GitLabStandin::Route::kUserSearch), IsEmpty());

  // The lint job's check of the merge request that adds it.
  const std::string check =
      lines_between(source_file("contrib/gitlab-ci/.gitlab-ci.yml"), "dotenv=$(", "fi");
  ASSERT_THAT(check, HasSubstr("exit 1"));
  const ProcessResult refused = testing::run_process({"/bin/sh", "-ec", check}, checkout, {});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_THAT(refused.out, HasSubstr(": .env"));
  testing::sh("git rm -q --cached .env", checkout);
  EXPECT_EQ(testing::run_process({"/bin/sh", "-ec", check}, checkout, {}).exit_status, 0);
}

// The packaged cron line, from cron's bare environment, with the settings
// file as the package lays it out: values unquoted, a Workflows URL full of "&".
TEST_F(OperatorSetupTest, TheCronLineReadsThePackagedSettingsFileItself) {
  add_request(kAlpha, "owner: team-alpha\n");
  Environment settings = environment();
  settings["TEAMS_WEBHOOK_URL"] = teams.workflows_url();
  std::string file = "# as /etc/quillmere/quillmere.env\n";
  for (const auto& [name, value] : settings) file += name + "=" + value + "\n";
  const std::string settings_file = root / "quillmere.env";
  testing::write_file(settings_file, file);
  ::chmod(settings_file.c_str(), 0640);

  const Environment bare = {{"HOME", root.path()}, {"PATH", "/usr/bin:/bin"}};
  const ProcessResult check = run_with(bare, {"--env-file", settings_file, "--check"});
  EXPECT_THAT(testing::split_lines(check.out),
              Contains("   card:         Adaptive Card 1.4 (Workflows webhook)"))
      << check.out << check.err;

  // The line as shipped, its paths made this rig's and quillmere on its PATH.
  std::string line = testing::split_lines(source_file("contrib/cron/quillmere")).back();
  for (int field = 0; field < 6; ++field) line = line.substr(line.find(' ') + 1);
  for (const auto& [shipped, here] :
       {std::pair<std::string, std::string>{"/srv/onboarding", root / "run"},
        {"/etc/quillmere/quillmere.env", settings_file}})
    line.replace(line.find(shipped), shipped.size(), here);
  testing::make_dir(root / "cron-bin");
  ASSERT_EQ(::symlink(testing::quillmere_binary().c_str(), (root / "cron-bin/quillmere").c_str()),
            0);
  const Environment cron = {{"HOME", root.path()},
                            {"LOGNAME", "quillmere"},
                            {"SHELL", "/bin/sh"},
                            {"PATH", root / "cron-bin:/usr/local/bin:/usr/bin:/bin"}};
  const ProcessResult job = testing::run_process({"/bin/sh", "-c", line}, root.path(), cron);
  EXPECT_EQ(job.exit_status, 0) << line << "\n" << job.err;
  const RunLog log(log_text());
  EXPECT_TRUE(log.has("INFO - Processing complete: 1 succeeded, 0 failed")) << dump(log);
  ASSERT_EQ(teams.cards().size(), 1u) << "the whole URL, sig and all";
}

// A set-up that would fail every file stops the run before anything is
// pushed, and --check says the same.
TEST_F(OperatorSetupTest, ABrokenSetUpStopsTheRunBeforeAnythingIsPushed) {
  add_request(kAlpha, "owner: team-alpha\n");
  const std::string index_lock = git.work() + "/.git/index.lock";
  const struct {
    const char* what;
    std::string token;
    bool lock;
    std::string fatal;
  } cases[] = {
      {"a revoked token", "glpat-revoked-0000", false, "GitLab refused GITLAB_TOKEN (HTTP 401)"},
      {"a leftover index.lock", kToken, true,
       "Working copy " + git.work() + " holds a leftover " + index_lock +
           " from an interrupted git command: once no git command is running in it, remove that "
           "file and run again"},
  };
  const std::string refs = remote_refs();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.lock) testing::write_file(index_lock, "");
    Environment env = traced(environment());
    env["GITLAB_TOKEN"] = c.token;
    forget_git_commands();
    const ProcessResult result = run_with(env);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(RunLog(result.err).records().back(), "ERROR - Fatal error: " + c.fatal);
    EXPECT_THAT(git_commands(), Each(std::string("status --porcelain")));
    const ProcessResult check = run_with(env, {"--check"});
    EXPECT_EQ(check.exit_status, 1);
    EXPECT_THAT(check.out, HasSubstr(c.fatal));
    ::unlink(index_lock.c_str());
  }
  EXPECT_EQ(remote_refs(), refs);
  EXPECT_THAT(gitlab.merge_requests(), IsEmpty());
}

// Eight scheduled runs with the same failing file: one card. Another failure:
// another card. Each names where it comes from.
TEST_F(OperatorSetupTest, AFailureCardGoesOutOncePerSetOfFailures) {
  add_request(kNotes, "just: notes\n");
  Environment env = environment();
  env["TEAMS_NOTIFY_FAILURES"] = "true";
  for (int run = 1; run <= 8; ++run) {
    const ProcessResult result = run_with(env);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    if (run == 8) {
      EXPECT_TRUE(RunLog(result.err)
                      .has("INFO - 📣 Teams failure summary not sent again: the same request "
                           "file(s) failed with the same errors as in the last one"));
    }
  }
  ASSERT_EQ(failure_cards().size(), 1u);

  add_request("more-notes.yaml", "just: more notes\n");
  ASSERT_EQ(run_with(env).exit_status, 0);
  const std::vector<nlohmann::ordered_json> cards = failure_cards();
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards.back()["title"], "⚠️ Onboarding run: 2 of 2 request file(s) failed");
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::vector<std::string> facts;
  for (const nlohmann::ordered_json& fact : cards.back()["sections"][0]["facts"])
    facts.push_back(fact["name"].get<std::string>() + ": " + fact["value"].get<std::string>());
  const std::vector<std::string> where = {"Host: " + std::string(host), "GitLab project: 42",
                                          "Origin: " + git.remote()};
  EXPECT_THAT(facts, ::testing::IsSupersetOf(where));
}

// Every line of a mixed run, on both outputs, is one JSON record.
TEST_F(OperatorSetupTest, JsonLogRecordsAreOneObjectALineOnBothOutputs) {
  add_request(kAlpha, "owner: team-alpha\n");
  add_request(kNotes, "just: notes\n");
  const ProcessResult result = run({{"LOG_FORMAT", "JSON"}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log_text(), result.err);
  std::vector<std::string> by_file;
  for (const std::string& line : testing::split_lines(result.err)) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(record.is_object()) << line;
    EXPECT_THAT(record["time"].get<std::string>(), ::testing::EndsWith("+00:00"));
    if (record.contains("file"))
      by_file.push_back(record["file"].get<std::string>() + " " +
                        record["message"].get<std::string>());
  }
  EXPECT_THAT(by_file, Contains("notes.yaml \n📄 Processing: notes.yaml"));
  EXPECT_THAT(by_file, Contains(StartsWith("notes.yaml ❌ Failed to process notes.yaml: ")));
  EXPECT_THAT(by_file, Contains(std::string(kAlpha) + " \n📄 Processing: " + kAlpha));
  EXPECT_THAT(by_file, Not(Contains(HasSubstr("Processing complete"))));
}

}  // namespace
}  // namespace quillmere

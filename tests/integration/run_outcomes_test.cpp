// What an unattended run leaves for people and monitors, with the real binary
// on the onboarding rig: the run report checked against its schema, the
// metrics checked by a real parser, the token's expiry, the exit status for
// failed files, the log level and the journal's priorities.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/onboarding_rig.h"
#include "tests/support/process.h"
#include "tests/support/run_log.h"

namespace quillmere::run_outcomes_test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using standins::GitLabStandin;
using ::testing::ElementsAre;
using testing::ProcessResult;
using testing::RunLog;

constexpr const char* kValidateReport = R"(
import json, sys
try:
    import jsonschema
except ImportError:
    sys.exit(77)
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
jsonschema.Draft202012Validator(schema).validate(json.load(open(sys.argv[2])))
)";

// The metrics parsed by promtool, or else by the Python client's parser;
// exit status 77 when neither is installed.
constexpr const char* kParseMetrics =
    "if command -v promtool >/dev/null; then promtool check metrics < \"$1\"; "
    "else python3 -c 'import sys\n"
    "try:\n from prometheus_client.parser import text_string_to_metric_families as parse\n"
    "except ImportError:\n sys.exit(77)\n"
    "list(parse(open(sys.argv[1]).read()))' \"$1\"; fi";

class RunOutcomesTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  RunOutcomesTest() { testing::make_dir(root / "out"); }

  std::string report_path() const { return root / "out/report.json"; }
  std::string metrics_path() const { return root / "out/quillmere.prom"; }

  testing::Environment monitored() const {
    testing::Environment env = environment();
    env["REPORT_FILE"] = report_path();
    env["METRICS_FILE"] = metrics_path();
    return env;
  }

  // A checker that exits 77 when the tool it needs is not installed.
  void check_with(const std::vector<std::string>& argv) const {
    const ProcessResult check = testing::run_process(argv, root.path(), {}, 30);
    if (check.exit_status == 77)
      std::fprintf(stderr, "not checked, its checker is not installed: %s\n", argv.back().c_str());
    else
      EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  }

  // The report, once a real validator has checked it against the schema.
  json report() const {
    check_with({"/usr/bin/python3", "-c", kValidateReport,
                std::string(QUILLMERE_SOURCE_DIR) + "/doc/run-report.schema.json", report_path()});
    return json::parse(testing::read_file(report_path()));
  }

  // The samples of the metrics file ("name{labels}" to value), once a real
  // parser has read it.
  std::map<std::string, double> metrics() const {
    check_with({"/bin/sh", "-c", kParseMetrics, "sh", metrics_path()});
    std::map<std::string, double> samples;
    for (const std::string& line : testing::split_lines(testing::read_file(metrics_path()))) {
      if (line.empty() || line[0] == '#') continue;
      const size_t blank = line.rfind(' ');
      samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    }
    return samples;
  }

  // Neither output holds a secret, and no temporary file is left beside them.
  void expect_clean_outputs() const {
    for (const std::string& path : {report_path(), metrics_path()}) {
      const std::string text = testing::read_file(path);
      EXPECT_EQ(text.find(kToken), std::string::npos) << path;
      EXPECT_EQ(text.find("stand-in@tenant"), std::string::npos) << path;
    }
    EXPECT_EQ(testing::sh("ls -A '" + root / "out" + "'"), "quillmere.prom\nreport.json");
  }

  // Each file's "OUTCOME BRANCH→TARGET".
  static std::map<std::string, std::string> outcomes(const json& report) {
    std::map<std::string, std::string> by_file;
    for (const json& file : report["files"])
      by_file[file["file"]] = file["outcome"].get<std::string>() + " " + file["branch"].dump() +
                              "→" + file["target_branch"].dump();
    return by_file;
  }

  ino_t inode_of(const std::string& path) const {
    struct stat entry {};
    return ::stat(path.c_str(), &entry) == 0 ? entry.st_ino : 0;
  }
};

TEST_F(RunOutcomesTest, AMixedRunReportsEveryOutcomeAsTheLogShowsIt) {
  add_request("ABC-1_dev_alpha.yaml", "owner: team-alpha\n");
  add_request("ABC-5_dev_echo.yaml", "owner: team-echo\n");
  testing::Environment env = monitored();
  env["FAILED_FILES_EXIT_STATUS"] = "3";
  env["TEAMS_NOTIFY_FAILURES"] = "Yes";
  const ProcessResult first = run_with(env);
  ASSERT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(report()["status"], "completed");
  const ino_t first_report = inode_of(report_path());
  const ino_t first_metrics = inode_of(metrics_path());

  // Alpha's merge request is open and alpha edited since; echo's was closed
  // without merging; delta's branch is as an earlier run left it, pushed
  // without a merge request; beta is new; the notes fail.
  add_request("ABC-1_dev_alpha.yaml", "owner: team-alpha-2\n");
  for (const auto& mr : gitlab.merge_requests())
    if (mr["source_branch"] == "dev-ABC-5-echo") gitlab.close_merge_request(mr["iid"]);
  add_request("ABC-2_staging_beta.yaml", "owner: team-beta\n");
  add_request("notes.yaml", "just: notes\n");
  add_request("ABC-4_prod_delta.yaml", "owner: team-delta\n");
  testing::sh(
      "git checkout -q -b prod-ABC-4-delta origin/prod && cp ../requests/ABC-4_prod_delta.yaml"
      " . && git add -A && git commit -q -m 'ABC-4: onboard delta to prod environment' && "
      "git push -q origin prod-ABC-4-delta && git checkout -q dev",
      git.work());

  const ProcessResult mixed = run_with(env);
  const RunLog log(mixed.err);
  EXPECT_EQ(mixed.exit_status, 3) << dump(log);
  ASSERT_TRUE(log.has("INFO - Processing complete: 4 succeeded, 1 failed")) << dump(log);
  const json report = this->report();
  EXPECT_EQ(report["status"], "completed");
  EXPECT_EQ(report["exit_status"], 3);
  EXPECT_EQ(report["succeeded"], 4);
  EXPECT_EQ(report["failed"], 1);
  EXPECT_EQ(report["gitlab_token_expires_at"], GitLabStandin::utc_date_in(300));
  EXPECT_THAT(
      outcomes(report),
      ElementsAre(
          std::pair("ABC-1_dev_alpha.yaml", "updated \"dev-ABC-1-alpha\"→\"dev\""),
          std::pair("ABC-2_staging_beta.yaml", "onboarded \"staging-ABC-2-beta\"→\"staging\""),
          std::pair("ABC-4_prod_delta.yaml", "taken_up \"prod-ABC-4-delta\"→\"prod\""),
          std::pair("ABC-5_dev_echo.yaml", "declined \"dev-ABC-5-echo\"→\"dev\""),
          std::pair("notes.yaml", "failed null→null")));

  // In the order the log processed them, each as the log tells it.
  const std::string processing = "INFO - \n📄 Processing: ";
  std::vector<std::string> processed, reported;
  for (const std::string& record : log.records())
    if (record.starts_with(processing)) processed.push_back(record.substr(processing.size()));
  std::string notes_error, echo_url;
  for (const json& file : report["files"]) {
    reported.push_back(file["file"]);
    const std::string outcome = file["outcome"];
    const std::string url = file["merge_request"].is_null() ? "" : file["merge_request"]["web_url"];
    const bool card_due = outcome != "failed" && outcome != "declined";
    if (outcome == "failed") notes_error = file["error"];
    if (outcome == "declined") echo_url = url;
    const std::map<std::string, std::string> told = {
        {"failed", "ERROR - ❌ Failed to process notes.yaml: " + notes_error},
        {"onboarded", "INFO - 🎉 MR Created: " + url},
        {"taken_up", "INFO - 🎉 MR Created: " + url},
        {"updated", "INFO - ✏️ Updated merge request: " + url},
        {"declined", "WARNING - 🚫 Declined: merge request " + url +
                         " was closed without merging; change the request file to propose it "
                         "again, or remove it"}};
    EXPECT_TRUE(log.has(told.at(outcome))) << told.at(outcome);
    EXPECT_EQ(file["teams"], card_due ? json("sent") : json()) << file["file"];
  }
  EXPECT_EQ(reported, processed);

  // The failure card: one, after the summary and the other cards.
  const auto cards = teams.cards();
  // Alpha's and echo's of the first run (a clean run sends no failure card),
  // alpha's update, beta's, delta's and this one.
  ASSERT_EQ(cards.size(), 6u);
  EXPECT_EQ(std::count_if(cards.begin(), cards.end(),
                          [](const auto& card) {
                            return card["title"] == "✏️ Project Onboarding updated: alpha";
                          }),
            1);
  EXPECT_EQ(cards.back()["title"], "⚠️ Onboarding run: 1 of 5 request file(s) failed");
  const json& facts = cards.back()["sections"][0]["facts"];
  // The failed file, the declined one, then Host, GitLab project and Origin.
  ASSERT_EQ(facts.size(), 5u);
  EXPECT_EQ(facts[3]["value"], "42");
  EXPECT_EQ(facts[0]["name"], "notes.yaml");
  // As written: the underscores of the error escaped for markdown.
  const auto as_written = [](std::string text) {
    for (size_t at = text.find('_'); at != std::string::npos; at = text.find('_', at + 2))
      text.insert(at, "\\");
    return text;
  };
  EXPECT_EQ(facts[0]["value"], as_written(notes_error));
  // The declined file, a kind of its own after the failed ones.
  EXPECT_EQ(facts[1]["name"], as_written("🚫 ABC-5_dev_echo.yaml"));
  EXPECT_EQ(facts[1]["value"], "declined: " + as_written(echo_url) + " was closed without merging");
  EXPECT_GT(log.index("INFO - 📣 Teams failure summary sent"),
            log.index("INFO - Processing complete: 4 succeeded, 1 failed"));

  const auto samples = metrics();
  EXPECT_EQ(samples.at("quillmere_last_run_success{project_id=\"42\"}"), 1);
  const auto files = [&](const std::string& outcome) {
    return samples.at("quillmere_last_run_files{project_id=\"42\",outcome=\"" + outcome + "\"}");
  };
  for (const char* outcome : {"onboarded", "updated", "taken_up", "declined", "failed"})
    EXPECT_EQ(files(outcome), 1) << outcome;
  for (const char* outcome : {"already_onboarded", "not_started"})
    EXPECT_EQ(files(outcome), 0) << outcome;
  EXPECT_GT(samples.at("quillmere_gitlab_token_expiry_timestamp_seconds{project_id=\"42\"}"),
            samples.at("quillmere_last_run_timestamp_seconds{project_id=\"42\"}") + 299 * 86400);
  expect_clean_outputs();
  // Replaced by a rename, never rewritten in place.
  EXPECT_NE(inode_of(report_path()), first_report);
  EXPECT_NE(inode_of(metrics_path()), first_metrics);
}

TEST_F(RunOutcomesTest, AFatalErrorAndAStopListTheFilesTheyKeptFromStarting) {
  add_request("ABC-1_dev_alpha.yaml", "owner: team-alpha\n");
  add_request("ABC-2_staging_beta.yaml", "owner: team-beta\n");
  testing::Environment env = monitored();
  testing::make_dir(root / "plain");
  env["REPO_PATH"] = root / "plain";  // a directory, but no git repository
  EXPECT_EQ(run_with(env).exit_status, 1);
  EXPECT_TRUE(teams.cards().empty()) << "no failure card without TEAMS_NOTIFY_FAILURES";
  env["TEAMS_NOTIFY_FAILURES"] = "true";
  const ProcessResult fatal = run_with(env);
  EXPECT_EQ(fatal.exit_status, 1);
  ASSERT_EQ(teams.cards().size(), 1u);
  EXPECT_EQ(teams.cards()[0]["title"],
            "❌ Onboarding run stopped: " + root / "plain is not a git repository");
  json report = this->report();
  EXPECT_EQ(report["status"], "fatal");
  EXPECT_EQ(report["exit_status"], 1);
  EXPECT_EQ(report["fatal_error"], root / "plain is not a git repository");
  EXPECT_EQ(report["succeeded"], 0);
  EXPECT_THAT(outcomes(report),
              ElementsAre(std::pair("ABC-1_dev_alpha.yaml", "not_started null→null"),
                          std::pair("ABC-2_staging_beta.yaml", "not_started null→null")));
  const auto fatal_samples = metrics();
  EXPECT_EQ(fatal_samples.at("quillmere_last_run_success{project_id=\"42\"}"), 0);
  EXPECT_EQ(fatal_samples.at("quillmere_last_run_status{project_id=\"42\",status=\"fatal\"}"), 1);

  // The first push is held until the run has been asked to stop; by then
  // the report says the run is going on, never what the last one did.
  hold_pushes();
  testing::BackgroundProcess run({testing::quillmere_binary()}, root / "run", monitored());
  ASSERT_TRUE(wait_until_held());
  report = this->report();
  EXPECT_EQ(report["status"], "running");
  EXPECT_EQ(report["exit_status"], nullptr);
  EXPECT_EQ(report["fatal_error"], nullptr);
  run.signal(SIGTERM);
  release();
  const ProcessResult stopped = run.wait(60s);
  EXPECT_EQ(stopped.exit_status, 143) << stopped.err;
  report = this->report();
  EXPECT_EQ(report["status"], "stopped");
  EXPECT_EQ(report["stopped_by"], "SIGTERM");
  EXPECT_EQ(report["exit_status"], 143);
  EXPECT_EQ(report["files"][0]["outcome"], "onboarded");
  EXPECT_EQ(report["files"][1]["outcome"], "not_started");
  const auto samples = metrics();
  EXPECT_EQ(samples.at("quillmere_last_run_success{project_id=\"42\"}"), 0);
  EXPECT_EQ(samples.at("quillmere_last_run_files{project_id=\"42\",outcome=\"not_started\"}"), 1);
  expect_clean_outputs();

  // Asked twice, the run ends at once: its report is the running one, with
  // this run's start, and not the stopped run's above. (Two signals of one
  // kind pending at once count as one, so the second is another kind; the
  // exit status is 128 + the one handled first.)
  const std::string stopped_started_at = report["started_at"];
  std::remove((root / "released").c_str());  // beta's push is held next
  std::remove((root / "held").c_str());
  testing::BackgroundProcess twice({testing::quillmere_binary()}, root / "run", monitored());
  ASSERT_TRUE(wait_until_held());
  twice.signal(SIGINT);
  twice.signal(SIGTERM);
  const ProcessResult ended = twice.wait(60s);
  EXPECT_TRUE(ended.exit_status == 130 || ended.exit_status == 143) << ended.err;
  release();
  report = this->report();
  EXPECT_EQ(report["status"], "running");
  EXPECT_EQ(report["finished_at"], nullptr);
  EXPECT_EQ(report["files"][1]["outcome"], "not_started");
  EXPECT_GE(report["started_at"].get<std::string>(), stopped_started_at);
}

TEST_F(RunOutcomesTest, ALogThatCannotBeOpenedStillSendsTheFailureCard) {
  testing::write_file(root / "run/logs", "not a directory");
  testing::Environment env = monitored();
  env["TEAMS_NOTIFY_FAILURES"] = "true";
  EXPECT_EQ(run_with(env).exit_status, 1);
  ASSERT_EQ(teams.cards().size(), 1u);
  EXPECT_EQ(teams.cards()[0]["title"],
            "❌ Onboarding run stopped: cannot set up logging: cannot open log file "
            "logs/onboarding.log: Not a directory");
  EXPECT_EQ(report()["status"], "fatal");
}

// Runs with nothing to do still look the token up, once.
TEST_F(RunOutcomesTest, ATokenNearItsExpiryIsWarnedAboutOnceAnd404IsSilent) {
  struct Case {
    std::optional<int> expires_in_days;
    bool not_found;
    std::vector<std::string> warnings;
  };
  const std::string date = GitLabStandin::utc_date_in(10);
  const Case cases[] = {
      {10,
       false,
       {"WARNING - ⚠️ GITLAB_TOKEN expires on " + date +
            " (10 days): renew it "
            "before then",
        "WARNING - ⚠️ No YAML files found"}},
      {15, false, {"WARNING - ⚠️ No YAML files found"}},
      {10, true, {"WARNING - ⚠️ No YAML files found"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(*c.expires_in_days) + (c.not_found ? " but 404" : ""));
    gitlab.set_token_expiry(c.expires_in_days, c.not_found);
    const size_t asked = gitlab.requests(GitLabStandin::Route::kTokenSelf).size();
    const ProcessResult result = run_with(environment());
    EXPECT_EQ(result.exit_status, 0);
    const RunLog log(result.err);
    std::vector<std::string> warnings;
    for (const std::string& record : log.records())
      if (!record.starts_with("INFO - ")) warnings.push_back(record);
    EXPECT_EQ(warnings, c.warnings) << result.err;
    EXPECT_EQ(gitlab.requests(GitLabStandin::Route::kTokenSelf).size(), asked + 1);
  }
}

// LOG_LEVEL in any case, for both outputs; the journal's priorities only on
// a standard error that is the stream JOURNAL_STREAM names.
TEST_F(RunOutcomesTest, TheLogLevelAppliesToBothOutputsAndOnlyTheJournalGetsPriorities) {
  const std::string log_file = root / "run/logs/onboarding.log";
  const std::string line = " - quillmere.quillmere - WARNING - ⚠️ No YAML files found\n";
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "the journal" : "another stream");
    testing::Environment env = environment();
    env["LOG_LEVEL"] = "warning";
    env["JOURNAL_STREAM"] = "1:1";
    // The shell names the stream standard error is, as systemd does.
    const std::string stream = journal ? "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) " : "";
    ::unlink(log_file.c_str());
    const ProcessResult result = testing::run_process(
        {"/bin/sh", "-c", stream + "exec \"$0\"", testing::quillmere_binary()}, root / "run", env);
    EXPECT_EQ(result.exit_status, 0);
    const std::string text = testing::read_file(log_file);
    EXPECT_EQ(text.substr(19), line);
    EXPECT_EQ(result.err, (journal ? "<4>" : "") + text);
  }
}

}  // namespace
}  // namespace quillmere::run_outcomes_test

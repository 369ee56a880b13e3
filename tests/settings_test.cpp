#include "quillmere/config/settings.h"

#include "quillmere/config/dotenv.h"
#include "quillmere/util/paths.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::settings_test {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;
using Names = std::vector<std::string>;

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(SplitReviewerUsernames, TrimsDropsEmptyPiecesAndKeepsOrderAndDuplicates) {
  EXPECT_EQ(split_reviewer_usernames(" alice, ,bob ,,"), (Names{"alice", "bob"}));
  EXPECT_EQ(split_reviewer_usernames("\talice\n,bob,alice"), (Names{"alice", "bob", "alice"}));
  EXPECT_EQ(split_reviewer_usernames(""), Names{});
  EXPECT_EQ(split_reviewer_usernames(","), Names{});
  EXPECT_EQ(split_reviewer_usernames(" , ,"), Names{});
  // Only commas separate: a blank inside a piece stays.
  EXPECT_EQ(split_reviewer_usernames("a b;c"), (Names{"a b;c"}));
}

TEST(ParseDotenv, ReadsAssignmentsExportsQuotesAndSkipsTheRest) {
  const auto pairs = parse_dotenv(
      "# a comment\n"
      "\n"
      "PLAIN=value\n"
      "export EXPORTED=yes\n"
      "DOUBLE=\"two words\"\n"
      "SINGLE='$not_expanded # kept'\n"
      "  SPACED = padded  \n"
      "COMMENTED=value # trailing comment\n"
      "EMPTY=\n"
      "EQUALS=a=b\n"
      "no equals sign here\n"
      "CRLF=dos\r\n");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"PLAIN", "value"},      {"EXPORTED", "yes"},
      {"DOUBLE", "two words"}, {"SINGLE", "$not_expanded # kept"},
      {"SPACED", "padded"},    {"COMMENTED", "value"},
      {"EMPTY", ""},           {"EQUALS", "a=b"},
      {"CRLF", "dos"}};
  EXPECT_EQ(pairs, expected);
}

TEST(LoadDotenv, FindsTheNearestFileUpwardsAndNeverOverridesTheEnvironment) {
  TempDir root;
  testing::make_dir(root / "a");
  testing::make_dir(root / "a/b");
  write_file(root / ".env", "QM_TEST_FAR=far\nQM_TEST_NEAR=far\n");
  write_file(root / "a/.env",
             "QM_TEST_NEAR=overridden\nQM_TEST_NEAR=near\nQM_TEST_PRESET=from-file\n");
  ScopedEnv env;
  env.set("QM_TEST_FAR", std::nullopt);
  env.set("QM_TEST_NEAR", std::nullopt);
  env.set("QM_TEST_PRESET", "from-environment");

  load_settings_file(root / "a/b", std::nullopt);

  EXPECT_EQ(env_value("QM_TEST_NEAR"), "near");
  EXPECT_EQ(env_value("QM_TEST_PRESET"), "from-environment");
  EXPECT_EQ(env_value("QM_TEST_FAR"), std::nullopt) << "only the first file found is loaded";
}

TEST(LoadDotenv, SkipsADirectoryNamedDotenv) {
  TempDir root;
  testing::make_dir(root / "a");
  testing::make_dir(root / "a/.env");
  write_file(root / ".env", "QM_TEST_FAR=far\n");
  ScopedEnv env;
  env.set("QM_TEST_FAR", std::nullopt);
  load_settings_file(root / "a", std::nullopt);
  EXPECT_EQ(env_value("QM_TEST_FAR"), "far");
}

TEST(ReadSettings, KeepsValuesVerbatimAndResolvesRelativePathsOnce) {
  ScopedEnv env;
  env.set("REPO_PATH", "repo");
  env.set("YAML_DIR", "/abs/requests/");
  env.set("GITLAB_TOKEN", "");
  env.set("PROJECT_ID", " 42 ");
  env.set("JIRA_BASE_URL", std::nullopt);
  env.set("REVIEWER_USERNAMES", " alice ,bob");
  env.set("CURL_CA_BUNDLE", "/etc/ca.pem");
  env.set("SSL_CERT_FILE", "/etc/ca.pem");

  const Settings settings = read_settings("/start/dir");

  EXPECT_EQ(settings.repo_path, "repo");
  EXPECT_EQ(settings.repo_dir, "/start/dir/repo");
  EXPECT_EQ(settings.yaml_dir, "/abs/requests/");
  EXPECT_EQ(settings.request_dir, "/abs/requests/");
  EXPECT_EQ(settings.gitlab_token, "");
  EXPECT_EQ(settings.project_id, " 42 ");
  EXPECT_EQ(settings.jira_base_url, std::nullopt);
  EXPECT_EQ(settings.reviewer_usernames, (Names{"alice", "bob"}));
  EXPECT_EQ(settings.ca_bundles, (Names{"/etc/ca.pem"})) << "the same bundle once";
}

TEST(ReadSettings, CheckedSettingsTakeTheirValuesOrNameWhatCannotBeRead) {
  struct Case {
    const char* name;
    const char* value;    ///< nullptr: unset
    const char* read_as;  ///< the setting as read, or the message refusing it
  };
  const Case cases[] = {
      {"LOG_LEVEL", "", "INFO"},
      {"LOG_LEVEL", "Debug", "DEBUG"},
      {"LOG_LEVEL", "verbose", "LOG_LEVEL must be DEBUG, INFO, WARNING or ERROR: verbose"},
      {"FAILED_FILES_EXIT_STATUS", "", "0"},
      {"FAILED_FILES_EXIT_STATUS", "125", "125"},
      {"FAILED_FILES_EXIT_STATUS", "126",
       "FAILED_FILES_EXIT_STATUS must be an integer from 0 to 125: 126"},
      {"FAILED_FILES_EXIT_STATUS", "-1",
       "FAILED_FILES_EXIT_STATUS must be an integer from 0 to 125: -1"},
      {"FAILED_FILES_EXIT_STATUS", "3x",
       "FAILED_FILES_EXIT_STATUS must be an integer from 0 to 125: 3x"},
      {"TEAMS_NOTIFY_FAILURES", "", "false"},
      {"TEAMS_NOTIFY_FAILURES", "1", "true"},
      {"TEAMS_NOTIFY_FAILURES", "No", "false"},
      {"TEAMS_NOTIFY_FAILURES", "on\x1b",
       "TEAMS_NOTIFY_FAILURES must be true or false (also 1 or 0, yes or no): on\\x1b"},
      {"TEAMS_CARD_FORMAT", nullptr, "auto"},
      {"TEAMS_CARD_FORMAT", "Adaptive", "adaptive"},
      {"TEAMS_CARD_FORMAT", "MESSAGECARD", "messagecard"},
      // Settings with a fixed form are read without surrounding blanks.
      {"TEAMS_CARD_FORMAT", " Adaptive\n", "adaptive"},
      {"TEAMS_CARD_FORMAT", "adaptive\ncard",
       "TEAMS_CARD_FORMAT must be auto, adaptive or messagecard: adaptive\\x0acard"},
      {"GIT_TIMEOUT", nullptr, "600"},
      {"GIT_TIMEOUT", "", "600"},
      {"GIT_TIMEOUT", "1", "1"},
      {"GIT_TIMEOUT", "030", "30"},
      {"GIT_TIMEOUT", "86400", "86400"},
      {"GIT_TIMEOUT", " 10\t", "10"},
      {"TMPDIR", nullptr, "/tmp"},
      {"TMPDIR", "/var/tmp", "/var/tmp"},
      {"LOG_FORMAT", nullptr, "text"},
      {"LOG_FORMAT", "JSON", "json"},
      {"LOG_FORMAT", "logfmt", "LOG_FORMAT must be text or json: logfmt"},
      {"ORIGIN_SYNC", "", "per-file"},
      {"ORIGIN_SYNC", " Per-Run ", "per-run"},
      {"ORIGIN_SYNC", "per_run", "ORIGIN_SYNC must be per-file or per-run: per_run"},
  };
  for (const char* refused : {"0", "-5", "1.5", "10s", "1 0", "abc", "99999999999"}) {
    SCOPED_TRACE(std::string("GIT_TIMEOUT=") + refused);
    ScopedEnv env;
    env.set("GIT_TIMEOUT", refused);
    EXPECT_EQ(
        read_settings("/start").invalid_values,
        Names{std::string("GIT_TIMEOUT must be a whole number of seconds from 1: ") + refused});
  }
  const char* formats[] = {"auto", "adaptive", "messagecard"};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + (c.value ? c.value : "(unset)"));
    ScopedEnv env;
    env.set(c.name, c.value ? std::optional<std::string>(c.value) : std::nullopt);
    const Settings settings = read_settings("/start");
    const std::string name = c.name;
    const std::string read_as =
        !settings.invalid_values.empty()  ? settings.invalid_values.front()
        : name == "LOG_LEVEL"             ? log_level_name(settings.log_level)
        : name == "TEAMS_NOTIFY_FAILURES" ? (settings.teams_notify_failures ? "true" : "false")
        : name == "TEAMS_CARD_FORMAT"     ? formats[static_cast<int>(settings.teams_card_format)]
        : name == "GIT_TIMEOUT"           ? std::to_string(settings.children.timeout_seconds)
        : name == "TMPDIR"                ? settings.temp_dir
        : name == "ORIGIN_SYNC"           ? origin_sync_name(settings.origin_sync)
        : name == "LOG_FORMAT" ? (settings.log_format == LogFormat::Json ? "json" : "text")
                               : std::to_string(settings.failed_files_exit_status);
    EXPECT_EQ(read_as, c.read_as);
  }
}

TEST(ReadSettings, RequiredSettingsMissingInTableOrderAndChildrenWithoutSecrets) {
  ScopedEnv env;
  for (const char* name :
       {"REPO_PATH", "YAML_DIR", "GITLAB_URL", "PROJECT_ID", "GITLAB_TOKEN", "GIT_COMMITTER_EMAIL"})
    env.set(name, std::nullopt);
  env.set("YAML_DIR", "requests");
  env.set("PROJECT_ID", "");
  env.set("GITLAB_TOKEN", "glpat-secret");
  env.set("GIT_TERMINAL_PROMPT", "1");
  const Settings settings = read_settings("/start");
  EXPECT_EQ(settings.missing_required,
            (Names{"REPO_PATH", "GITLAB_URL", "PROJECT_ID", "GIT_COMMITTER_EMAIL"}));
  for (const std::string& entry : settings.children.environment)
    EXPECT_EQ(entry.find("glpat-secret"), std::string::npos) << entry;
  EXPECT_THAT(settings.children.environment, ::testing::Contains("GIT_TERMINAL_PROMPT=1"));
}

TEST(JoinPath, PutsExactlyOneSeparatorBetween) {
  EXPECT_EQ(join_path("/req", "a.yaml"), "/req/a.yaml");
  EXPECT_EQ(join_path("/req/", "a.yaml"), "/req/a.yaml");
  EXPECT_EQ(join_path("req", "a.yaml"), "req/a.yaml");
}

}  // namespace
}  // namespace quillmere::settings_test

#include "quillmere/util/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::logging_test {
namespace {

TEST(Logger, FormatsTimeNameLevelAndMessageUnchanged) {
  Logger log("quillmere.quillmere");
  const std::string line = log.format_line(LogLevel::Warning, "\n📄 Processing: x.yaml");
  // Time stamp and name are checked by the parser; the message keeps its line break.
  EXPECT_EQ(testing::log_records(line),
            std::vector<std::string>{"WARNING - \n📄 Processing: x.yaml"})
      << line;
  EXPECT_EQ(line.back(), '\n');
}

// Two plain outputs and a journal's, whose every line starts with its priority.
TEST(Logger, WritesEveryOutputInOrderFromItsThresholdAndPrefixesTheJournalsLines) {
  testing::TempDir dir;
  std::FILE* first = std::fopen((dir / "first").c_str(), "w");
  std::FILE* second = std::fopen((dir / "second").c_str(), "w");
  std::FILE* journal = std::fopen((dir / "journal").c_str(), "w");
  {
    Logger log("test.logger");
    log.add_output(first, true);
    log.add_output(second, true);
    log.add_output(journal, true, /*journal=*/true);
    log.debug("hidden");
    log.info("one");
    log.error("two");
    log.set_threshold(LogLevel::Debug);
    log.debug("d");
    log.info("\nfirst\nsecond");
    log.set_threshold(LogLevel::Warning);
    log.warning("w");
    log.error("e");
  }
  const std::string text = testing::read_file(dir / "first");
  EXPECT_EQ(text, testing::read_file(dir / "second"));
  const auto lines = testing::split_lines(text);
  const auto journal_lines = testing::split_lines(testing::read_file(dir / "journal"));
  const std::vector<std::string> priorities = {"<6>", "<3>", "<7>", "<6>",
                                               "<6>", "<6>", "<4>", "<3>"};
  ASSERT_EQ(lines.size(), priorities.size()) << text;
  ASSERT_EQ(journal_lines.size(), priorities.size());
  EXPECT_EQ(lines[0].substr(19), " - test.logger - INFO - one");
  EXPECT_EQ(lines[1].substr(19), " - test.logger - ERROR - two");
  EXPECT_EQ(lines[4], "first");
  for (size_t i = 0; i < priorities.size(); ++i)
    EXPECT_EQ(journal_lines[i], priorities[i] + lines[i]);
}

// One object a line, masked and escaped as a text line is, naming the file
// only while it is being processed.
TEST(Logger, WritesJsonRecordsNamingTheFileInProgress) {
  Logger& log = logger();
  log.add_secret("glpat-json-secret");
  std::optional<FileInLog> in_log(std::in_place, "a.yaml");
  const std::string line = log.format_json(LogLevel::Error, log.shown("glpat-json-secret\n\x1b"));
  in_log.reset();
  const nlohmann::json record = nlohmann::json::parse(line);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_THAT(record["time"].get<std::string>(),
              ::testing::MatchesRegex("20[0-9-]{8}T[0-9:]{8}\\.[0-9]{3}\\+00:00"));
  const nlohmann::json expected = {{"time", record["time"]},
                                   {"level", "ERROR"},
                                   {"logger", "quillmere.quillmere"},
                                   {"message", "[MASKED]\n\\x1b"},
                                   {"file", "a.yaml"}};
  EXPECT_EQ(record, expected);
  EXPECT_FALSE(nlohmann::json::parse(log.format_json(LogLevel::Info, "x")).contains("file"));
}

TEST(Logger, MasksAWebhookAddressInEveryFormOnItsOwn) {
  const std::string webhook =
      "https://example.webhook.office.com/webhookb2/g1@t1/IncomingWebhook/x/y";
  Logger log("test.logger");
  log.add_secret(webhook);
  log.add_secret(url_path(webhook));
  for (const std::string& text : {"posting to " + webhook, "POST " + url_path(webhook) + " failed",
                                  "escaped: " + nlohmann::json(url_path(webhook)).dump(),
                                  "encoded: " + percent_encode(webhook)}) {
    const std::string shown = log.shown(text);
    EXPECT_EQ(shown.find("IncomingWebhook"), std::string::npos) << shown;
    EXPECT_NE(shown.find("[MASKED]"), std::string::npos) << shown;
  }
}

TEST(Logger, MasksEverySecretOfEightCharactersOrMore) {
  Logger log("test.logger");
  log.add_secret("8-chars!");
  log.add_secret("7-chars");
  EXPECT_EQ(log.shown("8-chars! 7-chars"), "[MASKED] 7-chars");
}

TEST(SetupLogging, CreatesTheDirectoryAndAppendsAcrossRuns) {
  testing::TempDir dir;
  testing::ScopedCwd cwd(dir.path());
  testing::write_file(dir / "marker", "");
  {
    Logger& log = setup_logging();
    log.clear_outputs();  // keep the test's own stderr quiet
  }
  ASSERT_TRUE(testing::file_exists(dir / "logs/onboarding.log"));
  testing::write_file(dir / "logs/onboarding.log", "earlier run\n");
  Logger& log = setup_logging();
  log.info("appended");
  log.clear_outputs();
  const auto lines = testing::split_lines(testing::read_file(dir / "logs/onboarding.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier run");
  EXPECT_EQ(lines[1].substr(19), " - quillmere.quillmere - INFO - appended");
}

TEST(SetupLogging, FailsWhenLogsIsNotADirectory) {
  testing::TempDir dir;
  testing::ScopedCwd cwd(dir.path());
  testing::write_file(dir / "logs", "a plain file");
  EXPECT_ANY_THROW(setup_logging());
}

}  // namespace
}  // namespace quillmere::logging_test

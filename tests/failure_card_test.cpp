#include "quillmere/app/failure_card.h"

#include <gtest/gtest.h>

#include "quillmere/app/failure_card_memory.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

TEST(FailureCard, ListsTwentyFailedFilesWithTheirErrorsCutAndCountsTheRest) {
  RunRecord record;
  std::vector<std::string> names = {"ok.yaml"};
  for (int i = 1; i <= 22; ++i) names.push_back("f" + std::to_string(i) + ".yaml");
  record.list_files(names);
  for (size_t i = 1; i < record.files().size(); ++i) {
    record.files()[i].outcome = FileOutcome::Failed;
    record.files()[i].error = "MR creation failed: " + std::string(i == 1 ? 300 : 10, 'x');
  }
  record.files()[2].error = "bad\nline " + std::string(250, 'x').replace(180, 1, "é");
  record.end_completed(0);

  const RunPlace place{"build-host", "platform%2Fconfig", "https://gitlab.example.com/p/c.git"};
  const std::optional<FailureCardContent> card = failure_card_content(record, place);
  ASSERT_TRUE(card);
  EXPECT_EQ(card->title, "⚠️ Onboarding run: 22 of 23 request file(s) failed");
  ASSERT_EQ(card->facts.size(), 24u);
  EXPECT_EQ(card->facts[0].first, "f1.yaml");
  EXPECT_EQ(card->facts[0].second, "MR creation failed: " + std::string(179, 'x') + "…");
  // Characters, not bytes; the line feed shown escaped.
  EXPECT_EQ(card->facts[1].second,
            "bad\\x0aline " + std::string(180, 'x') + "é" + std::string(6, 'x') + "…");
  EXPECT_EQ(card->facts[19].second, "MR creation failed: xxxxxxxxxx");
  EXPECT_EQ(card->facts[20], CardFact("… and 2 more", ""));
  const std::vector<CardFact> where = {{"Host", "build-host"},
                                       {"GitLab project", "platform%2Fconfig"},
                                       {"Origin", "https://gitlab.example.com/p/c.git"}};
  EXPECT_EQ(std::vector<CardFact>(card->facts.begin() + 21, card->facts.end()), where);

  // A fatal error's card says where, with an origin it could not learn.
  RunRecord fatal;
  fatal.end_fatal("boom");
  EXPECT_EQ(failure_card_content(fatal, {"h", "7", ""})->facts.back(),
            CardFact("Origin", "unknown"));
}

TEST(FailureCardMemory, RemembersTheFailedFilesAndErrorsWhateverTheirOrder) {
  const auto record_of = [](std::vector<std::pair<std::string, std::string>> failures) {
    RunRecord record;
    std::vector<std::string> names = {"ok.yaml"};
    for (const auto& failure : failures) names.push_back(failure.first);
    record.list_files(names);
    record.files()[0].outcome = FileOutcome::Onboarded;
    for (size_t i = 0; i < failures.size(); ++i) {
      record.files()[i + 1].outcome = FileOutcome::Failed;
      record.files()[i + 1].error = failures[i].second;
    }
    return failure_fingerprint(record);
  };
  const std::string last = record_of({{"a.yaml", "bad"}, {"b.yaml", "worse"}});
  EXPECT_EQ(record_of({{"b.yaml", "worse"}, {"a.yaml", "bad"}}), last);
  for (const std::string& other :
       {record_of({{"a.yaml", "bad"}}), record_of({{"a.yaml", "bad"}, {"b.yaml", "other"}}),
        record_of({{"a.yaml", "badb.yaml"}, {"", "worse"}})})
    EXPECT_NE(other, last);

  testing::TempDir git_dir;
  const FailureCardMemory memory(git_dir.path());
  EXPECT_FALSE(memory.repeats(last));
  memory.remember(last);
  EXPECT_TRUE(memory.repeats(last));
  EXPECT_TRUE(testing::file_exists(git_dir / "quillmere.last-failure-card"));
  EXPECT_FALSE(memory.repeats(record_of({{"a.yaml", "bad"}})));
  memory.forget();
  EXPECT_FALSE(memory.repeats(last));
  const FailureCardMemory nowhere("");
  nowhere.remember(last);
  EXPECT_FALSE(nowhere.repeats(last));
}

}  // namespace
}  // namespace quillmere

#include "quillmere/app/failure_card.h"

#include <gtest/gtest.h>

#include "quillmere/app/failure_card_memory.h"

namespace quillmere::failure_card_test {
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
  // Characters, not bytes; the line feed shown escaped, as written.
  EXPECT_EQ(card->facts[1].second,
            "bad\\\\x0aline " + std::string(180, 'x') + "é" + std::string(6, 'x') + "…");
  EXPECT_EQ(card->facts[19].second, "MR creation failed: xxxxxxxxxx");
  EXPECT_EQ(card->facts[20], CardFact("… and 2 more", ""));
  EXPECT_EQ(card->facts[21], CardFact("Host", "build-host"));

  // Names and errors from outside never become markdown.
  record.files()[1].file = "[f](https://evil.example/x).yaml";
  record.files()[1].error = "Invalid branch name: dev-1-[x](https://evil.example/x)";
  const std::optional<FailureCardContent> hostile = failure_card_content(record, place);
  EXPECT_EQ(hostile->facts[0],
            CardFact("\\[f\\]\\(https://evil.example/x\\).yaml",
                     "Invalid branch name: dev-1-\\[x\\]\\(https://evil.example/x\\)"));
}

// The card is due again when the set of failures changes, not when their order does.
TEST(FailureCardMemory, FingerprintsTheFailedFilesAndErrorsWhateverTheirOrder) {
  // Two failed files, each with its error.
  const auto fingerprint = [](const char* a, const char* a_error, const char* b,
                              const char* b_error) {
    RunRecord record;
    record.list_files({"ok.yaml", a, b});
    for (const auto& [i, error] : {std::pair(1, a_error), std::pair(2, b_error)}) {
      record.files()[i].outcome = FileOutcome::Failed;
      record.files()[i].error = error;
    }
    return failure_fingerprint(record);
  };
  const std::string last = fingerprint("a.yaml", "bad", "b.yaml", "worse");
  EXPECT_EQ(fingerprint("b.yaml", "worse", "a.yaml", "bad"), last);
  EXPECT_NE(fingerprint("a.yaml", "bad", "b.yaml", "other"), last);
  EXPECT_NE(fingerprint("a.yaml", "badb.yaml", "", "worse"), last);
  // A newly declined file is news as well: the card lists it.
  RunRecord record;
  record.list_files({"a.yaml", "b.yaml"});
  record.files()[0].outcome = FileOutcome::Failed;
  record.files()[0].error = "bad";
  const std::string failed_only = failure_fingerprint(record);
  record.files()[1].outcome = FileOutcome::Declined;
  EXPECT_NE(failure_fingerprint(record), failed_only);
}

}  // namespace
}  // namespace quillmere::failure_card_test

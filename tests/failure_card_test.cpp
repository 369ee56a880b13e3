#include "quillmere/app/failure_card.h"

#include <gtest/gtest.h>

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

  const std::optional<FailureCardContent> card = failure_card_content(record);
  ASSERT_TRUE(card);
  EXPECT_EQ(card->title, "⚠️ Onboarding run: 22 of 23 request file(s) failed");
  ASSERT_EQ(card->facts.size(), 21u);
  EXPECT_EQ(card->facts[0].first, "f1.yaml");
  EXPECT_EQ(card->facts[0].second, "MR creation failed: " + std::string(179, 'x') + "…");
  // Characters, not bytes; the line feed shown escaped, as written.
  EXPECT_EQ(card->facts[1].second,
            "bad\\\\x0aline " + std::string(180, 'x') + "é" + std::string(6, 'x') + "…");
  EXPECT_EQ(card->facts[19].second, "MR creation failed: xxxxxxxxxx");
  EXPECT_EQ(card->facts[20], CardFact("… and 2 more", ""));

  // Names and errors from outside never become markdown.
  record.files()[1].file = "[f](https://evil.example/x).yaml";
  record.files()[1].error = "Invalid branch name: dev-1-[x](https://evil.example/x)";
  const std::optional<FailureCardContent> hostile = failure_card_content(record);
  EXPECT_EQ(hostile->facts[0],
            CardFact("\\[f\\]\\(https://evil.example/x\\).yaml",
                     "Invalid branch name: dev-1-\\[x\\]\\(https://evil.example/x\\)"));
}

}  // namespace
}  // namespace quillmere

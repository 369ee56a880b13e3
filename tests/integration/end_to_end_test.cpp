// The real binary against a real git remote and the GitLab and Teams stand-ins
// over HTTPS (the onboarding rig).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tests/standins/standin_servers.h"
#include "tests/support/expected_texts.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere::end_to_end_test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ordered_json = nlohmann::ordered_json;
using standins::GitLabStandin;

constexpr const char* kToken = testing::OnboardingRig::kToken;
constexpr const char* kJira = testing::OnboardingRig::kJira;

struct RequestFile {
  std::string name;
  std::string content;
  std::string ticket, env, project;
  std::string parse_line;  // what parsing it logs

  std::string branch() const { return env + "-" + ticket + "-" + project; }
};

const RequestFile kByContent{"onboard-payments.yaml",
                             "ticket: ABC-1\nenvironment: Dev\nproject: payments\n",
                             "ABC-1",
                             "dev",
                             "payments",
                             "Using data from YAML content: ABC-1, Dev, payments"};
const RequestFile kByName{
    "OPS-7_Staging_web_app.yaml",
    "notes: nothing usable here\n",
    "OPS-7",
    "staging",
    "web_app",
    "Parsed from filename: Ticket=OPS-7, Environment=Staging, Project=web_app"};

ordered_json expected_mr_body(const RequestFile& file) {
  ordered_json body;
  body["source_branch"] = file.branch();
  body["target_branch"] = file.env;
  body["title"] = file.ticket + ": Onboard " + file.project + " to " + file.env;
  body["description"] = testing::expected_description(
      file.project, file.env, std::string(kJira) + "/" + file.ticket, "@alice @bob");
  body["reviewer_ids"] = {101, 102};
  body["assignee_ids"] = {101, 102};
  body["labels"] = "project-onboarding,auto-generated,Korvane Autonomous AI Agent";
  return body;
}

// A value as a card shows it: its underscores (the only markdown these
// values hold) escaped.
std::string as_written(std::string text) {
  for (size_t at = text.find('_'); at != std::string::npos; at = text.find('_', at + 2))
    text.insert(at, "\\");
  return text;
}

ordered_json expected_card(const RequestFile& file, const ordered_json& mr) {
  std::string env_upper = file.env;
  for (char& c : env_upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string created = mr["created_at"].get<std::string>().substr(0, 19);
  created[10] = ' ';
  const std::string jira = std::string(kJira) + "/" + file.ticket;
  const auto fact = [](const std::string& name, const std::string& value) {
    ordered_json entry;
    entry["name"] = name;
    entry["value"] = value;
    return entry;
  };
  const auto action = [](const std::string& name, const std::string& uri) {
    ordered_json target, entry;
    target["os"] = "default";
    target["uri"] = uri;
    entry["@type"] = "OpenUri";
    entry["name"] = name;
    entry["targets"] = ordered_json::array({target});
    return entry;
  };

  ordered_json activity;
  const std::string project = as_written(file.project);
  activity["activityTitle"] = "📋 **" + as_written(mr["title"].get<std::string>()) + "**";
  activity["activitySubtitle"] =
      "Project **" + project + "** is being onboarded to **" + env_upper + "** environment";
  activity["activityImage"] = "https://about.gitlab.com/images/press/logo/png/gitlab-icon-rgb.png";
  activity["facts"] = {
      fact("🎯 Project:", "**" + project + "**"),
      fact("🎫 Jira Ticket:", "[" + file.ticket + "](" + jira + ")"),
      fact("🔢 MR ID:", "!" + std::to_string(mr["iid"].get<long long>())),
      fact("🌿 Source Branch:", as_written(file.branch())),
      fact("🎯 Target Branch:", file.env),
      fact("🌍 Environment:", env_upper),
      fact("👤 Author:", mr["author"]["name"]),
      fact("👥 Reviewers:", "alice, bob"),
      fact("🏷️ Labels:", "project-onboarding, auto-generated, Korvane Autonomous AI Agent"),
      fact("📅 Created At:", created),
      fact("📌 Status:", "🟡 Open — Awaiting Review"),
  };
  activity["markdown"] = true;
  ordered_json details;
  details["title"] = "📝 What's Being Onboarded?";
  details["text"] = "\n**Project Configuration for " + project + "**\n- Environment: " + env_upper +
                    "\n- Configuration file has been added to the repository\n- Ready for review "
                    "and validation\n                ";
  details["markdown"] = true;

  ordered_json card;
  card["@type"] = "MessageCard";
  card["@context"] = "https://schema.org/extensions";
  card["summary"] = "New MR: " + file.project + " onboarding to " + file.env;
  card["themeColor"] = "0078D4";
  card["title"] = "🚀 Project Onboarding: " + project;
  card["sections"] = {activity, details};
  card["potentialAction"] = {action("🔍 View Merge Request", mr["web_url"]),
                             action("🎫 View Jira Ticket", jira)};
  return card;
}

class EndToEndTest : public ::testing::Test, protected testing::OnboardingRig {
 protected:
  void add(const RequestFile& file) { add_request(file.name, file.content); }

  // Lines every successfully onboarded file produces, in order.
  std::vector<std::string> file_lines(const RequestFile& file, const std::string& web_url) const {
    return {"INFO - \n📄 Processing: " + file.name,
            "INFO - " + file.parse_line,
            "INFO - 🚀 Working on branch: " + file.branch() + " for project: " + file.project,
            "INFO - 🔧 Git identity set → Onboarding Agent <onboarding@example.com>",
            "INFO - ✅ Created branch: " + file.branch(),
            "INFO - " + file.parse_line,
            "INFO - ✅ Successfully pushed branch: " + file.branch(),
            "INFO - 👥 Reviewers: ['alice', 'bob']",
            "INFO - 📬 Creating Merge Request for project " + file.project + "...",
            "INFO - 🎉 MR Created: " + web_url,
            "INFO - 📣 Teams notification sent for " + file.project + " (" + file.ticket + ")"};
  }

  std::vector<std::string> opening_lines(int files) const {
    return {"INFO - ✅ Configuration validation passed",
            "INFO - REPO_PATH: " + git.work(),
            "INFO - YAML_DIR: " + root / "requests",
            "INFO - GITLAB_URL: " + gitlab.api_url(),
            "INFO - ✅ Git repository validation passed",
            "INFO - Found " + std::to_string(files) + " YAML file(s) to process"};
  }
};

TEST_F(EndToEndTest, TwoRequestFilesBecomeTwoMergeRequestsAndTwoCards) {
  add(kByContent);
  add(kByName);
  const testing::ProcessResult result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;

  // The directory decides the order; the log tells which came first.
  const std::vector<std::string> records = testing::log_records(log_text());
  const auto first =
      std::find(records.begin(), records.end(), "INFO - \n📄 Processing: " + kByName.name);
  const std::vector<RequestFile> order =
      first != records.end() && std::find(records.begin(), first,
                                          "INFO - \n📄 Processing: " + kByContent.name) == first
          ? std::vector<RequestFile>{kByName, kByContent}
          : std::vector<RequestFile>{kByContent, kByName};

  const auto created = gitlab.merge_requests();
  ASSERT_EQ(created.size(), 2u);
  const auto posts = gitlab.requests(GitLabStandin::Route::kCreateMergeRequest);
  ASSERT_EQ(posts.size(), 2u);
  const auto cards = teams.cards();
  ASSERT_EQ(cards.size(), 2u);

  std::vector<std::string> expected_log = opening_lines(2);
  for (size_t i = 0; i < order.size(); ++i) {
    const RequestFile& file = order[i];
    SCOPED_TRACE(file.name);
    EXPECT_TRUE(git.remote_has_branch(file.branch()));
    EXPECT_THAT(git.remote_tree(file.branch()), Contains(file.name));
    EXPECT_EQ(posts[i].header("PRIVATE-TOKEN"), kToken);
    EXPECT_EQ(posts[i].json_body().dump(2), expected_mr_body(file).dump(2));
    EXPECT_EQ(created[i]["source_branch"], file.branch());
    EXPECT_EQ(cards[i].dump(2), expected_card(file, created[i]).dump(2));
    const auto lines = file_lines(file, created[i]["web_url"]);
    expected_log.insert(expected_log.end(), lines.begin(), lines.end());
  }
  expected_log.push_back("INFO - \n" + std::string(50, '='));
  expected_log.push_back("INFO - Processing complete: 2 succeeded, 0 failed");
  expected_log.push_back("INFO - " + std::string(50, '='));
  EXPECT_THAT(records, ElementsAreArray(expected_log));
  EXPECT_THAT(log_text() + result.err, Not(HasSubstr(kToken)));
}

TEST_F(EndToEndTest, MergeRequestRefusedThreeTimesFailsTheFileWithoutCard) {
  const std::string refusal = R"({"message":"500 Internal Server Error"})";
  gitlab.force_next(GitLabStandin::Route::kCreateMergeRequest, {500, refusal}, 3);
  add(kByContent);
  const testing::ProcessResult result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;

  EXPECT_TRUE(git.remote_has_branch(kByContent.branch()));  // nothing removes the pushed branch
  EXPECT_EQ(gitlab.requests(GitLabStandin::Route::kCreateMergeRequest).size(), 3u);
  EXPECT_THAT(teams.requests(), IsEmpty());

  const std::string failure = "MR creation failed: " + refusal;
  std::vector<std::string> expected_log = opening_lines(1);
  const auto lines = file_lines(kByContent, "");
  expected_log.insert(expected_log.end(), lines.begin(), lines.begin() + 9);
  for (const std::string& line : std::vector<std::string>{
           "WARNING - Attempt 1/3 failed: " + failure,
           std::string("INFO - Retrying in 1 seconds..."), "INFO - 👥 Reviewers: ['alice', 'bob']",
           "INFO - 📬 Creating Merge Request for project payments...",
           "WARNING - Attempt 2/3 failed: " + failure,
           std::string("INFO - Retrying in 2 seconds..."), "INFO - 👥 Reviewers: ['alice', 'bob']",
           "INFO - 📬 Creating Merge Request for project payments...",
           "ERROR - Failed after 3 attempts: " + failure,
           "ERROR - ❌ Failed to process " + kByContent.name + ": " + failure,
           "INFO - \n" + std::string(50, '='),
           std::string("INFO - Processing complete: 0 succeeded, 1 failed"),
           "INFO - " + std::string(50, '=')})
    expected_log.push_back(line);
  EXPECT_THAT(testing::log_records(log_text()), ElementsAreArray(expected_log));
}

}  // namespace
}  // namespace quillmere::end_to_end_test

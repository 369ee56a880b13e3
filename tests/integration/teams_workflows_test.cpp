// The real binary against a Workflows webhook (the Teams stand-in's), the card
// format setting, and the posted cards rendered by the official Adaptive Cards
// renderer in headless Chromium.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "quillmere/remote/teams_webhook.h"
#include "quillmere/util/secrets.h"
#include "tests/support/onboarding_rig.h"

namespace quillmere::teams_workflows_test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ordered_json = nlohmann::ordered_json;
using testing::OnboardingRig;

constexpr const char* kRequest = "ticket: ABC-1\nenvironment: Dev\nproject: payments\n";
const std::string kSig = standins::TeamsStandin::Options{}.sig;

class TeamsWorkflowsTest : public ::testing::Test, protected OnboardingRig {
 protected:
  TeamsWorkflowsTest() { add_request("onboard-payments.yaml", kRequest); }
};

TEST_F(TeamsWorkflowsTest, AdaptiveCardPostedOnceMoreAfterRetryAfter) {
  teams.force_next({429,
                    R"({"error":{"code":"TooManyRequests","message":"Rate limited"}})",
                    "application/json",
                    {{"Retry-After", "1"}}});
  const testing::ProcessResult result = run({{"TEAMS_WEBHOOK_URL", teams.workflows_url()}});
  ASSERT_EQ(result.exit_status, 0) << result.err;

  const auto posts = teams.requests();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_GE(posts[1].received - posts[0].received, std::chrono::seconds(1));
  EXPECT_EQ(posts[1].body, posts[0].body);
  const ordered_json message = posts[1].json_body();
  // Its form is the unit tests' and the rendering test's; here what this run put in it.
  const ordered_json& card = message["attachments"][0]["content"];
  EXPECT_EQ(card["body"][0]["text"], "🚀 Project Onboarding: payments");
  const ordered_json mr = gitlab.merge_requests().at(0);
  EXPECT_EQ(card["actions"][0]["url"], mr["web_url"]);
  EXPECT_EQ(card["actions"][1]["url"], std::string(kJira) + "/ABC-1");

  const std::vector<std::string> records = testing::log_records(log_text());
  EXPECT_THAT(records, Contains("INFO - Retrying in 1 seconds (Retry-After)..."));
  EXPECT_THAT(log_text() + result.err, Not(HasSubstr(kSig)));
}

TEST(TeamsCardFormatTest, SettingAndWebhookDecideWhatIsSentAndHowItEnds) {
  const std::string retired = "https://acme.webhook.office.com/webhookb2/g@t/IncomingWebhook/i/g";
  struct Case {
    std::string format;
    std::string url;          // "flow", "legacy", "forged" (a wrong sig) or a URL
    std::string posted_type;  // "@type" or "type" of the post; empty: nothing posted
    std::string log_line;
  };
  const Case cases[] = {
      {"messagecard", "flow", "MessageCard",
       "INFO - 📣 Teams notification sent for payments (ABC-1)"},
      {"Adaptive", "legacy", "message",
       "WARNING - Teams notification failed: HTTP 400: Summary or Text is required."},
      {"", "forged", "message",
       "WARNING - Teams notification failed: HTTP 401: DirectApiInvalidAuthorizationSignature: "
       "The provided signature for '[MASKED]' is not valid."},
      {"cards", retired, "",
       "ERROR - Fatal error: TEAMS_CARD_FORMAT must be auto, adaptive or messagecard: cards"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format + " " + c.url);
    OnboardingRig rig;
    rig.add_request("onboard-payments.yaml", kRequest);
    const std::string flow = rig.teams.workflows_url();
    const std::string url = c.url == "flow"     ? flow
                            : c.url == "legacy" ? rig.teams.webhook_url()
                            : c.url == "forged" ? flow.substr(0, flow.find("sig=")) + "sig=forged"
                                                : c.url;
    const testing::ProcessResult result =
        rig.run({{"TEAMS_WEBHOOK_URL", url}, {"TEAMS_CARD_FORMAT", c.format}});
    EXPECT_EQ(result.exit_status, c.posted_type.empty() ? 1 : 0) << result.err;
    const std::vector<std::string> records = testing::log_records(rig.log_text());
    EXPECT_THAT(records, Contains(c.log_line));
    EXPECT_THAT(rig.log_text(), Not(HasSubstr(kSig)));
    const auto cards = rig.teams.cards();
    ASSERT_EQ(cards.size(), c.posted_type.empty() ? 0u : 1u);
    if (!cards.empty()) {
      EXPECT_EQ(cards[0].value(c.posted_type == "message" ? "type" : "@type", ""), c.posted_type);
    }
    // A MessageCard is accepted with 202 and fails in the flow, as with Teams.
    rig.flow_may_fail = c.posted_type == "MessageCard";
    EXPECT_EQ(rig.teams.failed_runs().size(), rig.flow_may_fail ? 1u : 0u);
    if (c.url == retired) {
      EXPECT_EQ(records.at(0), std::string("WARNING - ") + kRetiredWebhookWarning);
      EXPECT_FALSE(rig.git.remote_has_branch("dev-ABC-1-payments"));
      testing::Environment env = rig.environment();
      env["TEAMS_WEBHOOK_URL"] = retired;
      const testing::ProcessResult check = rig.run_with(env, {"--check"});
      EXPECT_THAT(check.out, HasSubstr(std::string("   ") + kRetiredWebhookWarning + "\n"));
      EXPECT_THAT(check.out, HasSubstr("   card:         MessageCard\n"));
      EXPECT_THAT(check.out, Not(HasSubstr("acme")));
    }
  }
}

// GitLab's answers echoing the token, the webhook (its sig and path) and a
// URL password, in a created merge request and in a refusal: none of it
// reaches a card of either form, nor the log.
TEST(EchoingGitLabTest, NoSecretReachesACardOrTheLog) {
  const std::string password = "Jira-S3cret-pass";
  for (const bool workflows : {false, true}) {
    SCOPED_TRACE(workflows ? "Adaptive Card" : "MessageCard");
    OnboardingRig rig;
    rig.add_request("onboard-payments.yaml", kRequest);
    rig.add_request("ABC-2_dev_refused.yaml", "owner: team-refused\n");
    const std::string webhook = workflows ? rig.teams.workflows_url() : rig.teams.webhook_url();
    const std::string echo = std::string(OnboardingRig::kToken) + " " + webhook + " " +
                             url_path(webhook) + " https://jira-bot:" + password + "@jira.example/";
    const nlohmann::json created = {
        {"iid", 7},
        {"title", "[echo](https://evil.example/) " + echo},
        {"author", {{"name", echo}}},
        {"web_url", "https://bot:" + password + "@gitlab.example/mr/7?t=" + OnboardingRig::kToken},
        {"created_at", "2024-05-01T12:34:56Z"}};
    using Route = standins::GitLabStandin::Route;
    rig.gitlab.force_next(Route::kCreateMergeRequest, {201, created.dump()});
    // Every attempt of the other file is refused, echoing the same.
    rig.gitlab.force_next(Route::kCreateMergeRequest,
                          {400, nlohmann::json{{"message", echo}}.dump()}, 3);
    const testing::ProcessResult result =
        rig.run({{"TEAMS_WEBHOOK_URL", webhook},
                 {"TEAMS_NOTIFY_FAILURES", "true"},
                 {"JIRA_BASE_URL", "https://jira-bot:" + password + "@jira.example.com/browse"}});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    ASSERT_EQ(rig.teams.cards().size(), 2u);  // the merge request's and the failure card
    std::string seen = rig.log_text() + result.err;
    for (const auto& post : rig.teams.requests()) seen += post.body;
    for (const std::string& secret :
         {std::string(OnboardingRig::kToken), kSig, password, std::string("stand-in@tenant")})
      EXPECT_THAT(seen, Not(HasSubstr(secret)));
    EXPECT_THAT(seen, Not(HasSubstr("](https://evil")));
  }
}

// What a text shows once rendered: markdown bold, escapes and links as text.
std::string rendered_text(std::string text) {
  for (size_t at = text.find("**"); at != std::string::npos; at = text.find("**"))
    text.erase(at, 2);
  if (text.starts_with('[') && text.ends_with(')')) text = text.substr(1, text.find("](") - 1);
  for (size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 1))
    text.erase(at, 1);
  return text;
}

TEST_F(TeamsWorkflowsTest, PostedCardsRenderInChromiumAsSent) {
  const testing::ProcessResult node = testing::run_process(
      {"/bin/sh", "-c", "test -x /usr/bin/chromium && command -v node"}, root.path(), {});
  if (node.exit_status != 0)
    GTEST_SKIP() << "node or /usr/bin/chromium is not installed: the cards are not rendered";
  add_request("OPS-7_Staging_web_app.yaml", "notes: none\n");
  // A request whose environment is a markdown link fails; the failure card
  // must show the link as written, not as a link.
  const std::string phish = "https://evil.example/phish";
  add_request("OPS-8_dev_x.yaml",
              "ticket: OPS-8\nproject: x\nenvironment: '[Open the run report](" + phish + ")'\n");
  ASSERT_EQ(
      run({{"TEAMS_WEBHOOK_URL", teams.workflows_url(true)}, {"TEAMS_NOTIFY_FAILURES", "true"}})
          .exit_status,
      0);
  std::string posts;
  for (const ordered_json& post : teams.cards()) posts += post.dump() + "\n";
  testing::write_file(root / "posts.jsonl", posts);

  const testing::ProcessResult rendered = testing::run_process(
      {node.out.substr(0, node.out.find('\n')),
       std::string(QUILLMERE_SOURCE_DIR) + "/tests/browser/render-cards.js", "--posts",
       root / "posts.jsonl", "--html", root / "cards.html", "--report", root / "report.json"},
      root.path(), {}, 120);
  ASSERT_EQ(rendered.exit_status, 0) << rendered.out << rendered.err;
  const nlohmann::json report = nlohmann::json::parse(testing::read_file(root / "report.json"));
  ASSERT_EQ(report.size(), 3u);
  for (const nlohmann::json& shown : report)
    for (const nlohmann::json& link : shown["links"]) EXPECT_NE(link["href"], phish);
  const nlohmann::json& failure = report[2]["facts"][0];
  EXPECT_EQ(failure["title"], "OPS-8_dev_x.yaml");
  EXPECT_THAT(failure["value"].get<std::string>(),
              HasSubstr("[open the run report](" + phish + ")"));
  for (size_t i = 0; i < 2; ++i) {
    const ordered_json sent = teams.cards()[i]["attachments"][0]["content"];
    const nlohmann::json& shown = report[i];
    SCOPED_TRACE(sent["body"][0]["text"].get<std::string>());
    EXPECT_THAT(shown["parse_errors"], IsEmpty());
    EXPECT_THAT(shown["validation_errors"], IsEmpty());
    EXPECT_EQ(shown["texts"][0], rendered_text(sent["body"][0]["text"]));
    ASSERT_EQ(shown["facts"].size(), 11u);
    for (size_t f = 0; f < 11; ++f) {
      const ordered_json& fact = sent["body"][3]["facts"][f];
      EXPECT_EQ(shown["facts"][f]["title"], fact["title"]);
      EXPECT_EQ(shown["facts"][f]["value"], rendered_text(fact["value"]));
    }
    ASSERT_EQ(shown["buttons"].size(), 2u);
    for (size_t b = 0; b < 2; ++b) {
      EXPECT_EQ(shown["buttons"][b]["title"], sent["actions"][b]["title"]);
      EXPECT_EQ(shown["buttons"][b]["url"], sent["actions"][b]["url"]);
    }
  }
}

}  // namespace
}  // namespace quillmere::teams_workflows_test

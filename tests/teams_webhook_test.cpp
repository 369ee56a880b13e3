#include "quillmere/remote/teams_webhook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/standins/standin_servers.h"
#include "tests/support/process.h"

namespace quillmere::teams_webhook_test {
namespace {

using standins::ForcedAnswer;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(TeamsWebhookTest, UrlKindAndCardFormat) {
  const std::string flow =
      "https://prod-12.westeurope.logic.azure.com:443/workflows/0a1b/triggers/manual/paths/"
      "invoke?api-version=2016-06-01&sp=%2Ftriggers%2Fmanual%2Frun&sv=1.0&sig=s3cr3tSig";
  const std::string legacy = "https://acme.webhook.office.com/webhookb2/g@t/IncomingWebhook/i/g";
  struct Case {
    std::optional<std::string> format;
    std::string url;
    bool workflows, retired;
    std::string kind;  // or the refusal
  };
  const Case cases[] = {
      {std::nullopt, flow, true, false, "Adaptive Card 1.4 (Workflows webhook)"},
      {"",
       "https://env.environment.api.powerplatform.com:443/powerautomate/automations/direct/"
       "workflows/9f/triggers/manual/paths/invoke?api-version=1&sig=x",
       true, false, "Adaptive Card 1.4 (Workflows webhook)"},
      {"Auto", "http://127.0.0.1:8080/x/Workflows/id/triggers/run/paths/invoke/", true, false,
       "Adaptive Card 1.4 (Workflows webhook)"},
      {"MessageCard", flow, true, false, "MessageCard"},
      {"auto", legacy, false, true, "MessageCard"},
      {"ADAPTIVE", legacy, false, true, "Adaptive Card 1.4"},
      {"", "https://outlook.office.com/webhook/a@b/IncomingWebhook/c/d", false, true,
       "MessageCard"},
      {"", "https://user@OUTLOOK.OFFICE365.COM.:443/webhook/x", false, true, "MessageCard"},
      {"", "https://webhook.office.com.relay.example/webhookb2/x", false, false, "MessageCard"},
      {"", "https://relay.example/workflows/id/triggers/manual", false, false, "MessageCard"},
      {"", "https://relay.example/workflows//triggers/manual/paths/invoke", false, false,
       "MessageCard"},
      {"", "https://relay.example/hook?to=/workflows/i/triggers/m/paths/invoke", false, false,
       "MessageCard"},
      // Trimmed as every setting with a fixed set of values is.
      {" Adaptive\n", legacy, false, true, "Adaptive Card 1.4"},
      {"adaptive\ncard", flow, true, false,
       "TEAMS_CARD_FORMAT must be auto, adaptive or messagecard: adaptive\\x0acard"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " / " + c.format.value_or("(unset)"));
    testing::ScopedEnv env;
    env.set("TEAMS_CARD_FORMAT", c.format);
    env.set("TEAMS_WEBHOOK_URL", c.url);
    const Settings settings = read_settings("/");
    EXPECT_EQ(is_workflows_webhook(c.url), c.workflows);
    EXPECT_EQ(is_retired_connector_webhook(c.url), c.retired);
    EXPECT_EQ(settings.invalid_values.empty() ? teams_card_kind(settings)
                                              : settings.invalid_values.front(),
              c.kind);
  }
  EXPECT_THAT(teams_webhook_secrets(flow),
              ElementsAre(flow, flow.substr(flow.find("/workflows")),
                          "/workflows/0a1b/triggers/manual/paths/invoke", "s3cr3tSig"));
}

TEST(TeamsWebhookTest, AnswersToAPost) {
  testing::ScopedEnv env;
  env.set("no_proxy", "127.0.0.1,localhost");
  env.set("NO_PROXY", "127.0.0.1,localhost");
  CurlGlobal curl;
  HttpClient http;
  standins::TeamsStandin teams;
  const std::string flow = teams.workflows_url();
  const ForcedAnswer throttled{429,
                               R"({"error":{"code":"TooManyRequests","message":"Slow down"}})"};
  const auto retry_after = [&](std::string value) {
    ForcedAnswer answer = throttled;
    answer.headers = {{"Retry-After", std::move(value)}};
    return answer;
  };
  struct Case {
    std::string name;
    std::vector<ForcedAnswer> answers;
    std::string url;                     // empty: the stand-in's flow
    std::optional<std::string> failure;  // nullopt: delivered
    std::vector<long long> waits;
  };
  const Case cases[] = {
      {"accepted", {}, "", std::nullopt, {}},
      {"deleted flow",
       {},
       flow.substr(0, flow.find("/workflows/")) + "/workflows/gone/triggers/manual/paths/invoke",
       "HTTP 404: WorkflowNotFound: The workflow of '[MASKED]' could not be found.",
       {}},
      {"redirect",
       {{302, "", "text/plain", {{"Location", "https://elsewhere.example/"}}}},
       "",
       "HTTP 302: redirects are not followed",
       {}},
      {"server error echoing the sig",
       {{500, "bad sig " + teams_webhook_secrets(flow)[3]}},
       "",
       "HTTP 500: bad sig [MASKED]",
       {}},
      {"legacy failure text in a 2xx",
       {{200, std::string(standins::kTeamsThrottledBody)}},
       "",
       std::nullopt,
       {}},
      {"throttled once", {throttled}, "", std::nullopt, {1}},
      {"throttled twice",
       {retry_after("120"), throttled},
       "",
       "HTTP 429: TooManyRequests: Slow down",
       {60}},
      {"unreadable Retry-After",
       {retry_after("soon"), {503, "Service Unavailable"}},
       "",
       "HTTP 503: Service Unavailable",
       {1}},
  };
  TeamsCard card;
  card.title = "Title";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Settings settings;
    settings.teams_webhook_url = c.url.empty() ? flow : c.url;
    for (const ForcedAnswer& answer : c.answers) teams.force_next(answer);
    const size_t before = teams.requests().size();
    std::vector<long long> waits;
    EXPECT_EQ(post_teams_card(http, settings, card, [&](long long s) { waits.push_back(s); }),
              c.failure);
    EXPECT_EQ(waits, c.waits);
    EXPECT_EQ(teams.requests().size() - before, c.waits.size() + 1);
  }
  EXPECT_THAT(teams.failed_runs(), IsEmpty());
}

}  // namespace
}  // namespace quillmere::teams_webhook_test

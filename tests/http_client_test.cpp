#include "quillmere/remote/http_client.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/standins/standin_servers.h"
#include "tests/support/process.h"

namespace quillmere::http_client_test {
namespace {

using standins::ForcedAnswer;
using standins::TeamsStandin;
using testing::ScopedEnv;

TEST(PercentEncodeTest, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(percent_encode("alice"), "alice");
  EXPECT_EQ(percent_encode("a.b-c_d~e"), "a.b-c_d~e");
  EXPECT_EQ(percent_encode("a&b=c"), "a%26b%3Dc");
  EXPECT_EQ(percent_encode("x y#z?/+%"), "x%20y%23z%3F%2F%2B%25");
  EXPECT_EQ(percent_encode("jürgen"), "j%C3%BCrgen");
  EXPECT_EQ(percent_encode(""), "");
}

TEST(MaskSecretTest, MasksEveryFormOfTheSecret) {
  EXPECT_EQ(mask_secret("token glpat-x/y in body", "glpat-x/y"), "token [MASKED] in body");
  EXPECT_EQ(mask_secret("echo glpat-x%2Fy twice glpat-x%2Fy", "glpat-x/y"),
            "echo [MASKED] twice [MASKED]");
  EXPECT_EQ(mask_secret(R"({"t":"a\"b"})", "a\"b"), R"({"t":"[MASKED]"})");
  EXPECT_EQ(mask_secret("nothing here", ""), "nothing here");
  EXPECT_EQ(url_path("https://teams.invalid/webhookb2/a@b/IncomingWebhook/c"),
            "/webhookb2/a@b/IncomingWebhook/c");
  EXPECT_EQ(url_path("https://teams.invalid/"), "");
}

TEST(UrlCredentialsTest, UserAndPasswordNeverShow) {
  const std::string text = "GET https://bot:S3cret@x/p?q=u@v failed; ssh://git@y/r bot@example.com";
  EXPECT_EQ(mask_url_credentials(text),
            "GET https://***@x/p?q=u@v failed; ssh://***@y/r bot@example.com");
  EXPECT_EQ(without_url_credentials("https://bot:S3cret@x/p@q"), "https://x/p@q");
  EXPECT_EQ(url_user_info(text.substr(4)), "bot:S3cret");
  EXPECT_EQ(url_password(text.substr(4)), "S3cret");
  EXPECT_EQ(url_password("https://glpat-xyz@h/"), "");
  // A password may hold "@": everything up to the last one is user information.
  EXPECT_EQ(mask_url_credentials("see https://bot:p@ss@x/p"), "see https://***@x/p");
  EXPECT_EQ(url_password("https://bot:p@ss@x/"), "p@ss");
}

TEST(ExcerptTest, KeepsTheFirstCharactersAndNamesTheSize) {
  EXPECT_EQ(excerpt(std::string(1000, 'x')), std::string(1000, 'x'));
  // A character is never cut in two.
  EXPECT_EQ(excerpt("äöü", 2), "äö … (6 bytes)");
}

struct HttpClientTest : ::testing::Test {
  HttpClientTest() {
    // Loopback traffic must never be sent to a proxy of the machine.
    env.set("no_proxy", "127.0.0.1,localhost");
    env.set("NO_PROXY", "127.0.0.1,localhost");
  }
  ScopedEnv env;
  CurlGlobal curl;
  TeamsStandin server;
  HttpClient http;
};

TEST_F(HttpClientTest, PostSendsJsonWithItsHeadersAndKeepsStatusAndBody) {
  const HttpResponse response =
      http.post_json(server.webhook_url(), R"({"summary":"s"})", {{"X-Check", "yes"}});
  EXPECT_TRUE(response.answered());
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "1");

  server.force_next({503, "<html>down</html>", "text/html"});
  const HttpResponse refused = http.post_json(server.webhook_url(), "{}", {});
  EXPECT_TRUE(refused.answered());  // an HTTP error is an answer, not a transport failure
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "<html>down</html>");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, R"({"summary":"s"})");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("X-Check"), "yes");
  EXPECT_FALSE(requests[1].has_header("X-Check"));
}

TEST_F(HttpClientTest, EachCallStartsFromCleanOptions) {
  // The handle is reused: a GET after a POST must not inherit its body or
  // content type.
  http.post_json(server.webhook_url(), R"({"summary":"s"})", {});
  const HttpResponse response = http.get(server.webhook_url(), {{"PRIVATE-TOKEN", "t"}});
  EXPECT_EQ(response.status, 405);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_FALSE(requests[1].has_header("Content-Type"));
  EXPECT_EQ(requests[1].header("PRIVATE-TOKEN"), "t");
}

TEST_F(HttpClientTest, TransportFailureIsKeptApartFromTheStatus) {
  int closed_port = 0;
  {
    TeamsStandin gone;
    closed_port = gone.port();
  }
  const HttpResponse response =
      http.get("http://127.0.0.1:" + std::to_string(closed_port) + "/x", {});
  EXPECT_FALSE(response.answered());
  EXPECT_EQ(response.status, 0);
  EXPECT_THAT(response.transport_error, ::testing::HasSubstr("127.0.0.1"));
}

TEST_F(HttpClientTest, APostWhoseConnectionDiesIsNeverSentAgain) {
  // The GET leaves a kept-alive connection, which the POST reuses; the server
  // reads the POST and hangs up without an answer.
  http.get(server.webhook_url(), {});
  standins::ForcedAnswer drop;
  drop.drop_connection = true;
  server.force_next(drop);
  const HttpResponse response = http.post_json(server.webhook_url(), R"({"text":"once"})", {});
  EXPECT_FALSE(response.answered());
  EXPECT_FALSE(response.sent_nothing);
  EXPECT_EQ(server.requests().size(), 2u) << "the POST was repeated";

  // On a fresh connection the same hang-up is an empty reply, which comes
  // after the POST went out: it may have been acted on.
  HttpClient fresh;
  server.force_next(drop);
  const HttpResponse empty = fresh.post_json(server.webhook_url(), R"({"text":"once"})", {});
  EXPECT_FALSE(empty.answered());
  EXPECT_FALSE(empty.sent_nothing) << empty.transport_error;
}

TEST_F(HttpClientTest, AnswersAreTakenUpToTheirLimitsAndRefusedBeyondThemByName) {
  struct Row {
    standins::ForcedAnswer answer;
    std::string transport_error;  // empty: answered
  };
  standins::ForcedAnswer long_header{200, "{}", "application/json"};
  long_header.headers = {{"X-Padding", std::string(200 * 1024, 'h')}};
  const Row rows[] = {
      {{200, std::string(kMaxAnswerBytes, 'a'), "text/plain"}, ""},
      {{200, std::string(kMaxAnswerBytes + 1, 'a'), "text/plain"}, std::string(kAnswerTooLarge)},
      {long_header, std::string(kAnswerHeaderTooLarge)},
  };
  for (const Row& row : rows) {
    server.force_next(row.answer);
    const HttpResponse response = http.post_json(server.webhook_url(), "{}", {});
    EXPECT_EQ(response.transport_error, row.transport_error);
    if (row.transport_error.empty()) {
      EXPECT_EQ(response.body.size(), kMaxAnswerBytes);
    }
  }
}

TEST_F(HttpClientTest, HeaderWithLineBreakIsRefusedWithoutEchoingIt) {
  const HttpResponse response =
      http.get(server.webhook_url(), {{"PRIVATE-TOKEN", "secret\r\nX-Injected: 1"}});
  EXPECT_FALSE(response.answered());
  EXPECT_THAT(response.transport_error, ::testing::Not(::testing::HasSubstr("secret")));
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace quillmere::http_client_test

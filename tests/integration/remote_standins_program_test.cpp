// The stand-ins program the sandbox runs: it reports its URLs, serves HTTPS,
// records requests as JSON lines with the token masked, and stops on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "quillmere/remote/http_client.h"
#include "tests/support/git_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::remote_standins_program_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::TempDir;

std::string standins_program() {
  const std::string binary = testing::quillmere_binary();
  return binary.substr(0, binary.rfind('/') + 1) + "quillmere-standins";
}

std::map<std::string, std::string> read_env_file(const std::string& path) {
  std::map<std::string, std::string> values;
  for (const std::string& line : testing::split_lines(testing::read_file(path))) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

// The program running in the background for the life of the object.
class StandinsProgram {
 public:
  StandinsProgram(const TempDir& root, const std::vector<std::string>& arguments)
      : state_(root / "state") {
    std::vector<std::string> argv = {standins_program(), "--state-dir", state_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string output = root / "standins.out";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    for (int i = 0; pid_ > 0 && i < 500 && !testing::file_exists(state_ + "/urls.env"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    urls_ = read_env_file(state_ + "/urls.env");
  }
  ~StandinsProgram() {
    if (pid_ > 0) stop();
  }
  StandinsProgram(const StandinsProgram&) = delete;
  StandinsProgram& operator=(const StandinsProgram&) = delete;

  /// SIGTERM, then the wait status.
  int stop() {
    int status = -1;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  /// A value from urls.env, such as GITLAB_URL.
  std::string url(const std::string& name) const {
    const auto found = urls_.find(name);
    return found == urls_.end() ? "" : found->second;
  }
  /// One line per recorded request of `kind` ("gitlab-requests", "teams-cards").
  std::vector<std::string> records(const std::string& kind) const {
    return testing::split_lines(testing::read_file(state_ + "/" + kind + ".jsonl"));
  }

 private:
  std::string state_;
  pid_t pid_ = -1;
  std::map<std::string, std::string> urls_;
};

TEST(StandinsProgramTest, ServesRecordsAndStopsOnSigterm) {
  TempDir root;
  testing::sh(std::string(QUILLMERE_SOURCE_DIR) + "/scripts/make-test-certs " + root / "certs");
  StandinsProgram program(
      root, {"--cert", root / "certs/server.pem", "--key", root / "certs/server.key", "--token",
             "tok-123", "--users", "alice=101,bob=102"});

  testing::ScopedEnv env;
  env.set("no_proxy", "127.0.0.1,localhost");
  {
    CurlGlobal curl;
    HttpClient http(10, {root / "certs/ca.pem"});
    const HttpResponse user =
        http.get(program.url("GITLAB_URL") + "/users?username=bob", {{"PRIVATE-TOKEN", "tok-123"}});
    EXPECT_EQ(user.status, 200) << user.transport_error;
    EXPECT_THAT(user.body, HasSubstr(R"("id":102)"));
    const HttpResponse card =
        http.post_json(program.url("TEAMS_WEBHOOK_URL"), R"({"text":"hi"})", {});
    EXPECT_EQ(card.status, 200) << card.transport_error;
    EXPECT_EQ(card.body, "1");
  }

  const int status = program.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  EXPECT_THAT(program.url("GITLAB_URL"),
              ::testing::MatchesRegex("https://127\\.0\\.0\\.1:[0-9]+/api/v4"));
  const auto gitlab_lines = program.records("gitlab-requests");
  ASSERT_EQ(gitlab_lines.size(), 1u);
  const auto request = nlohmann::json::parse(gitlab_lines[0]);
  EXPECT_EQ(request["query"], "username=bob");
  EXPECT_EQ(request["headers"]["PRIVATE-TOKEN"], "[MASKED]");
  EXPECT_THAT(gitlab_lines[0], Not(HasSubstr("tok-123")));
  const auto teams_lines = program.records("teams-cards");
  ASSERT_EQ(teams_lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(teams_lines[0])["json"]["text"], "hi");
}

// Far away: git over HTTPS and GitLab behind the delaying proxies, which count
// what crosses them: a connection costs a round trip for TCP and one for TLS
// 1.3, then each request one (git's two per command, on one connection).
TEST(StandinsProgramTest, AFarAwayNetworkCountsConnectionsAndRoundTrips) {
  TempDir root;
  testing::GitRemoteFixture git(root.path());
  testing::sh(std::string(QUILLMERE_SOURCE_DIR) + "/scripts/make-test-certs " + root / "certs");
  StandinsProgram program(
      root, {"--cert", root / "certs/server.pem", "--key", root / "certs/server.key", "--token",
             "tok-123", "--git-root", root.path(), "--one-way-delay-ms", "20", "--keep-alive",
             "service"});
  testing::ScopedEnv env;
  env.set("no_proxy", "127.0.0.1,localhost");
  const std::string remote = program.url("GIT_URL") + "/remote.git";
  env.set("GIT_SSL_CAINFO", root / "certs/ca.pem");
  EXPECT_THAT(testing::sh("git ls-remote " + remote, git.work()),
              HasSubstr("\trefs/heads/staging"));
  testing::sh("git push -q " + remote + " HEAD:refs/heads/pushed", git.work());
  EXPECT_TRUE(git.remote_has_branch("pushed"));
  {
    CurlGlobal curl;
    HttpClient http(10, {root / "certs/ca.pem"});
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(
          http.get(program.url("GITLAB_URL") + "/user", {{"PRIVATE-TOKEN", "tok-123"}}).status,
          200);
  }
  program.stop();
  EXPECT_EQ(read_env_file(root / "state/network.env"),
            (std::map<std::string, std::string>{{"GITLAB_CONNECTIONS", "1"},
                                                {"GITLAB_ROUND_TRIPS", "4"},
                                                {"TEAMS_CONNECTIONS", "0"},
                                                {"TEAMS_ROUND_TRIPS", "0"},
                                                {"GIT_CONNECTIONS", "2"},
                                                {"GIT_ROUND_TRIPS", "8"}}));
}

// Each merge request fault the command line queues meets one POST, in order;
// every request is recorded, dropped ones with status 0. Plain HTTP, and
// httplib's client, which shows answer headers and the lack of any answer.
TEST(StandinsProgramTest, MergeRequestFaultsMeetTheFirstPostsInOrder) {
  TempDir root;
  StandinsProgram program(root, {"--token", "tok-123", "--merge-request-faults",
                                 "create_then_drop,drop,created_non_json,too_many_requests:2,"
                                 "create_then_stall:1,bad_gateway,server_error"});
  const std::string url = program.url("GITLAB_URL");
  ASSERT_THAT(url, ::testing::StartsWith("http://127.0.0.1:"));
  httplib::Client client(url.substr(0, url.rfind("/api/v4")));
  const std::string mrs = "/api/v4/projects/42/merge_requests";
  struct Step {
    std::string method, target, source_branch, token;
    int status;  // 0: the connection closes without an answer
    std::string body_start;
    std::string retry_after = {};
    int at_least_seconds = 0;
  };
  const std::string duplicate =
      R"({"message":["Another open merge request already exists for this source branch: !1"]})";
  const Step steps[] = {
      {"POST", mrs, "a", "tok-123", 0, ""},                   // create_then_drop: a is !1
      {"POST", mrs, "x", "tok-123", 0, ""},                   // drop: nothing
      {"POST", mrs, "b", "tok-123", 201, "<!DOCTYPE html>"},  // created_non_json: b is !2
      {"POST", mrs, "c", "tok-123", 429, "Retry later\n", "2"},
      {"POST", mrs, "c", "tok-123", 201, R"({"id":248003,"iid":3,)", "", 1},  // create_then_stall
      {"POST", mrs, "d", "tok-123", 502, "<!DOCTYPE html>"},
      {"POST", mrs, "d", "tok-123", 500, R"({"message":"500 Internal Server Error"})"},
      {"POST", mrs, "a", "tok-123", 409, duplicate},  // normal service again
      {"GET", mrs + "?state=opened&source_branch=b&target_branch=dev", "", "tok-123", 200,
       R"([{"id":248002,"iid":2,)"},
      {"GET", mrs + "?source_branch=x", "", "tok-123", 200, "[]"},
      {"GET", mrs, "", "wrong", 401, R"({"message":"401 Unauthorized"})"},
      {"GET", mrs, "", "", 404, R"({"message":"404 Project Not Found"})"},
      // The token's owner and the project, by id or URL-encoded path; the
      // project routes and the merge request routes do not swallow each other.
      {"GET", "/api/v4/user", "", "tok-123", 200, R"({"id":3,"username":"onboarding-bot",)"},
      {"GET", "/api/v4/user", "", "", 401, R"({"message":"401 Unauthorized"})"},
      {"GET", "/api/v4/user", "", "wrong", 401, R"({"message":"401 Unauthorized"})"},
      {"GET", "/api/v4/projects/42", "", "tok-123", 200, R"({"id":42,"description":)"},
      {"GET", "/api/v4/projects/platform%2Fonboarding-config", "", "tok-123", 200, R"({"id":42,)"},
      {"GET", "/api/v4/projects/platform%2Fonboarding-config/merge_requests?source_branch=b", "",
       "tok-123", 200, R"([{"id":248002,)"},
      {"GET", "/api/v4/projects/43", "", "tok-123", 404, R"({"message":"404 Project Not Found"})"},
      {"GET", "/api/v4/projects/x%2Fmerge_requests", "", "tok-123", 404,
       R"({"message":"404 Project Not Found"})"},
      {"GET", "/api/v4/projects/42", "", "", 404, R"({"message":"404 Project Not Found"})"},
      {"GET", "/api/v4/projects/42", "", "wrong", 401, R"({"message":"401 Unauthorized"})"},
      {"GET", "/api/v4/projects/42/repository/branches", "", "tok-123", 404,
       R"({"error":"404 Not Found"})"},
  };
  std::vector<int> expected_statuses;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.method + " " + step.target + " " + step.source_branch);
    httplib::Headers headers;
    if (!step.token.empty()) headers.emplace("PRIVATE-TOKEN", step.token);
    const auto started = std::chrono::steady_clock::now();
    const httplib::Result answer = step.method == "GET"
                                       ? client.Get(step.target, headers)
                                       : client.Post(step.target, headers,
                                                     R"({"source_branch":")" + step.source_branch +
                                                         R"(","target_branch":"dev","title":"t"})",
                                                     "application/json");
    EXPECT_GE(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(step.at_least_seconds));
    expected_statuses.push_back(step.status);
    if (step.status == 0) {
      EXPECT_FALSE(answer) << answer->status;
      continue;
    }
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(answer->status, step.status);
    EXPECT_EQ(answer->body.substr(0, step.body_start.size()), step.body_start);
    EXPECT_EQ(answer->get_header_value("Retry-After"), step.retry_after);
  }
  // Everything created, newest first.
  const httplib::Result all = client.Get(mrs + "?state=opened", {{"PRIVATE-TOKEN", "tok-123"}});
  ASSERT_TRUE(all);
  std::vector<std::string> sources;
  for (const auto& mr : nlohmann::json::parse(all->body)) sources.push_back(mr["source_branch"]);
  EXPECT_THAT(sources, ::testing::ElementsAre("c", "b", "a"));

  program.stop();
  std::vector<int> recorded_statuses;
  for (const std::string& line : program.records("gitlab-requests"))
    recorded_statuses.push_back(nlohmann::json::parse(line)["status"]);
  expected_statuses.push_back(200);
  EXPECT_EQ(recorded_statuses, expected_statuses);
}

}  // namespace
}  // namespace quillmere::remote_standins_program_test

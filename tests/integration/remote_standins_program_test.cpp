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

#include <nlohmann/json.hpp>

#include "quillmere/http_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
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

TEST(StandinsProgramTest, ServesRecordsAndStopsOnSigterm) {
  TempDir root;
  testing::sh(std::string(QUILLMERE_SOURCE_DIR) + "/scripts/make-test-certs " + root / "certs");
  const std::string state = root / "state";
  const std::vector<std::string> argv = {standins_program(),
                                         "--state-dir",
                                         state,
                                         "--cert",
                                         root / "certs/server.pem",
                                         "--key",
                                         root / "certs/server.key",
                                         "--token",
                                         "tok-123",
                                         "--users",
                                         "alice=101,bob=102"};
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string output = root / "standins.out";
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
  for (int i = 0; i < 500 && !testing::file_exists(state + "/urls.env"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::map<std::string, std::string> urls = read_env_file(state + "/urls.env");

  testing::ScopedEnv env;
  env.set("no_proxy", "127.0.0.1,localhost");
  {
    CurlGlobal curl;
    HttpClient http(10, {root / "certs/ca.pem"});
    const HttpResponse user =
        http.get(urls["GITLAB_URL"] + "/users?username=bob", {{"PRIVATE-TOKEN", "tok-123"}});
    EXPECT_EQ(user.status, 200) << user.transport_error;
    EXPECT_THAT(user.body, HasSubstr(R"("id":102)"));
    const HttpResponse card = http.post_json(urls["TEAMS_WEBHOOK_URL"], R"({"text":"hi"})", {});
    EXPECT_EQ(card.status, 200) << card.transport_error;
    EXPECT_EQ(card.body, "1");
  }

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  EXPECT_THAT(urls["GITLAB_URL"], ::testing::MatchesRegex("https://127\\.0\\.0\\.1:[0-9]+/api/v4"));
  const auto gitlab_lines =
      testing::split_lines(testing::read_file(state + "/gitlab-requests.jsonl"));
  ASSERT_EQ(gitlab_lines.size(), 1u);
  const auto request = nlohmann::json::parse(gitlab_lines[0]);
  EXPECT_EQ(request["query"], "username=bob");
  EXPECT_EQ(request["headers"]["PRIVATE-TOKEN"], "[MASKED]");
  EXPECT_THAT(gitlab_lines[0], Not(HasSubstr("tok-123")));
  const auto teams_lines = testing::split_lines(testing::read_file(state + "/teams-cards.jsonl"));
  ASSERT_EQ(teams_lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(teams_lines[0])["json"]["text"], "hi");
}

}  // namespace
}  // namespace quillmere

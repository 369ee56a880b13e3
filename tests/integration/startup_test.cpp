// The real binary's start-up and batch checks, run in a fresh directory with
// a clean environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::startup_test {
namespace {

using testing::Environment;
using testing::ProcessResult;
using testing::TempDir;

using testing::log_records;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::make_dir(dir_ / "run");
    testing::make_dir(dir_ / "home");
    env_ = {{"HOME", dir_ / "home"}};
  }

  ProcessResult run(const std::vector<std::string>& extra_args = {}) {
    std::vector<std::string> argv = {testing::quillmere_binary()};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    return testing::run_process(argv, dir_ / "run", env_);
  }

  std::string log_text() { return testing::read_file(dir_ / "run/logs/onboarding.log"); }

  // A git working copy and a request directory, with every required setting.
  void configure_complete_run() {
    testing::sh("git init -q work && mkdir requests", dir_.path());
    env_["REPO_PATH"] = dir_ / "work";
    env_["YAML_DIR"] = dir_ / "requests";
    env_["GITLAB_URL"] = "https://127.0.0.1:9/api/v4";
    env_["PROJECT_ID"] = "42";
    env_["GITLAB_TOKEN"] = "glpat-secret-token";
    env_["GIT_COMMITTER_EMAIL"] = "bot@example.com";
  }

  TempDir dir_;
  Environment env_;
};

TEST_F(StartupTest, RefusesToRunWithoutATokenAndLogsToFileAndConsole) {
  env_["GITLAB_TOKEN"] = "";
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 1);
  const std::vector<std::string> expected = {"ERROR - Fatal error: ❌ GITLAB_TOKEN not set"};
  EXPECT_EQ(log_records(log_text()), expected);
  // The whole physical line, name and all.
  EXPECT_EQ(log_text().substr(19),
            " - quillmere.quillmere - ERROR - Fatal error: ❌ GITLAB_TOKEN not set\n");
  EXPECT_EQ(result.err, log_text());
  EXPECT_EQ(result.out, "");

  // Started with standard error closed: the log file must not take its
  // place, where each line would be written twice.
  const ProcessResult closed = testing::run_process(
      {"/bin/sh", "-c", "exec \"$0\" 2>&-", testing::quillmere_binary()}, dir_ / "run", env_);
  EXPECT_EQ(closed.exit_status, 1);
  EXPECT_EQ(log_records(log_text()), std::vector<std::string>(2, expected.front()));
}

TEST_F(StartupTest, ReportsEveryMissingSettingInOrder) {
  env_["GITLAB_TOKEN"] = "t";
  env_["GITLAB_URL"] = "https://gitlab.example.com/api/v4";
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 1);
  const std::vector<std::string> expected = {
      "ERROR - Fatal error: Missing required env vars: REPO_PATH, YAML_DIR, "
      "PROJECT_ID, GIT_COMMITTER_EMAIL"};
  EXPECT_EQ(log_records(result.err), expected);
}

TEST_F(StartupTest, ReportsMissingPathsAsGiven) {
  configure_complete_run();
  env_["REPO_PATH"] = "no-such-repo";
  env_["YAML_DIR"] = "no-such-dir";
  EXPECT_EQ(run().exit_status, 1);
  env_["REPO_PATH"] = dir_ / "work";
  EXPECT_EQ(run().exit_status, 1);
  const std::vector<std::string> expected = {
      "ERROR - Fatal error: REPO_PATH does not exist: no-such-repo",
      "ERROR - Fatal error: YAML_DIR does not exist: no-such-dir"};
  EXPECT_EQ(log_records(log_text()), expected);
}

TEST_F(StartupTest, RefusesADirectoryThatIsNotAGitRepository) {
  configure_complete_run();
  testing::make_dir(dir_ / "plain");
  env_["REPO_PATH"] = dir_ / "plain";
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 1);
  const auto lines = log_records(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ERROR - Fatal error: " + (dir_ / "plain") + " is not a git repository");
}

TEST_F(StartupTest, FindsNoRequestFilesAmongOtherExtensionsAndAppendsToTheLog) {
  configure_complete_run();
  for (const char* name : {"ABC-1_dev_a.yml", "ABC-2_dev_b.YAML", "notes.txt", "a.yaml.bak"})
    testing::write_file(dir_ / ("requests/" + std::string(name)), "ticket: X-1\n");
  const ProcessResult first = run();
  const ProcessResult second = run();
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(second.exit_status, 0);

  const std::vector<std::string> one_run = {
      "INFO - ✅ Configuration validation passed",  "INFO - REPO_PATH: " + (dir_ / "work"),
      "INFO - YAML_DIR: " + (dir_ / "requests"),   "INFO - GITLAB_URL: https://127.0.0.1:9/api/v4",
      "INFO - ✅ Git repository validation passed", "WARNING - ⚠️ No YAML files found"};
  EXPECT_EQ(log_records(first.err), one_run);
  std::vector<std::string> two_runs = one_run;
  two_runs.insert(two_runs.end(), one_run.begin(), one_run.end());
  EXPECT_EQ(log_records(log_text()), two_runs);
  EXPECT_EQ(log_text(), first.err + second.err);
  EXPECT_EQ(log_text().find("glpat-secret-token"), std::string::npos);
}

TEST_F(StartupTest, LoadsDotenvFromAParentDirectoryWithoutOverridingTheEnvironment) {
  configure_complete_run();
  env_.erase("GITLAB_TOKEN");
  env_["GITLAB_URL"] = "https://from-environment.example/api/v4";
  testing::write_file(dir_ / ".env",
                      "export GITLAB_TOKEN='from-file'\nGITLAB_URL=https://from-file.example\n");
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.err.find("GITLAB_URL: https://from-environment.example/api/v4"),
            std::string::npos);
}

TEST_F(StartupTest, ResolvesRelativePathsAgainstTheStartDirectory) {
  configure_complete_run();
  env_["REPO_PATH"] = "../work";
  env_["YAML_DIR"] = "../requests";
  testing::write_file(dir_ / "requests/not-a-request.yml", "");
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  const auto lines = log_records(result.err);
  EXPECT_EQ(lines.at(1), "INFO - REPO_PATH: ../work");
  EXPECT_EQ(lines.back(), "WARNING - ⚠️ No YAML files found");
}

TEST_F(StartupTest, FailsClearlyWhenTheLogCannotBeOpened) {
  testing::write_file(dir_ / "run/logs", "not a directory");
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("cannot open log file logs/onboarding.log"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace quillmere::startup_test

namespace quillmere::startup_test {
namespace {

TEST_F(StartupTest, CountsEveryFailedFileAndStillEndsWithStatusZero) {
  configure_complete_run();
  testing::write_file(dir_ / "requests/not-a-request.yaml", "just: text\n");
  testing::write_file(dir_ / "requests/.hidden.yaml", "");
  testing::write_file(dir_ / "requests/skipped.yml", "");
  const ProcessResult result = run();
  EXPECT_EQ(result.exit_status, 0) << result.err;

  const auto records = log_records(result.err);
  const auto expect_failed_file = [&](const std::string& name) {
    const auto heading =
        std::find(records.begin(), records.end(), "INFO - \n📄 Processing: " + name);
    ASSERT_NE(heading, records.end()) << name;
    ASSERT_NE(heading + 1, records.end());
    EXPECT_EQ(*(heading + 1), "ERROR - ❌ Failed to process " + name +
                                  ": Invalid filename format: " + name +
                                  ". Expected format: TICKET_ENVIRONMENT_PROJECT.yaml");
  };
  expect_failed_file("not-a-request.yaml");
  expect_failed_file(".hidden.yaml");

  EXPECT_NE(std::find(records.begin(), records.end(), "INFO - Found 2 YAML file(s) to process"),
            records.end());
  ASSERT_GE(records.size(), 3u);
  const std::vector<std::string> summary(records.end() - 3, records.end());
  const std::vector<std::string> expected_summary = {
      "INFO - \n" + std::string(50, '='), "INFO - Processing complete: 0 succeeded, 2 failed",
      "INFO - " + std::string(50, '=')};
  EXPECT_EQ(summary, expected_summary);
}

}  // namespace
}  // namespace quillmere::startup_test

namespace quillmere::startup_test {
namespace {

// Runs the binary with its standard error on a pipe nobody reads any more
// (the console went away) and returns the exit status, -1 if it was killed.
int run_with_closed_console(const std::string& cwd, const Environment& env) {
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
  if (const char* path = std::getenv("PATH")) env_strings.push_back(std::string("PATH=") + path);
  std::vector<char*> envp;
  for (auto& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string binary = testing::quillmere_binary();
  char* argv[] = {binary.data(), nullptr};

  int console[2];
  if (::pipe(console) != 0) return -2;
  ::close(console[0]);  // nobody will ever read what is written
  const pid_t pid = ::fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(console[1], 2);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ::close(console[1]);
  int status = 0;
  for (int waited_ms = 0; waited_ms < 60000; waited_ms += 20) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

TEST_F(StartupTest, AConsoleThatWentAwayDoesNotEndTheRun) {
  configure_complete_run();
  testing::write_file(dir_ / "requests/notes.txt", "");
  const int status = run_with_closed_console(dir_ / "run", env_);
  EXPECT_EQ(status, 0);
  const std::vector<std::string> expected = {
      "INFO - ✅ Configuration validation passed",  "INFO - REPO_PATH: " + (dir_ / "work"),
      "INFO - YAML_DIR: " + (dir_ / "requests"),   "INFO - GITLAB_URL: https://127.0.0.1:9/api/v4",
      "INFO - ✅ Git repository validation passed", "WARNING - ⚠️ No YAML files found"};
  EXPECT_EQ(log_records(log_text()), expected);
}

}  // namespace
}  // namespace quillmere::startup_test

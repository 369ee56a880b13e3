#include "tests/support/onboarding_rig.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quillmere::testing {

namespace {

// Made once per test program: generating keys is the slow part.
const TempDir& certificates() {
  static const TempDir certs;
  [[maybe_unused]] static const bool made = [] {
    sh(std::string(QUILLMERE_SOURCE_DIR) + "/scripts/make-test-certs " + certs.path());
    return true;
  }();
  return certs;
}

standins::TlsFiles server_tls() {
  return {certificates() / "server.pem", certificates() / "server.key"};
}

standins::GitLabStandin::Options gitlab_options(const std::string& git_remote,
                                                standins::KeepAlive keep_alive) {
  standins::GitLabStandin::Options options;
  options.git_remote = git_remote;
  options.keep_alive = keep_alive;
  options.token = OnboardingRig::kToken;
  options.project_id = "42";
  options.users = {{101, "alice", "Alice"}, {102, "bob", "Bob"}};
  options.tls = server_tls();
  return options;
}

standins::TeamsStandin::Options teams_options(standins::KeepAlive keep_alive) {
  standins::TeamsStandin::Options options;
  options.keep_alive = keep_alive;
  options.tls = server_tls();
  return options;
}

}  // namespace

OnboardingRig::OnboardingRig(standins::KeepAlive keep_alive)
    : gitlab(gitlab_options(git.remote(), keep_alive)), teams(teams_options(keep_alive)) {
  make_dir(root / "requests");
  make_dir(root / "run");
}

void OnboardingRig::add_request(const std::string& name, const std::string& content) const {
  write_file(root / "requests/" + name, content);
}

Environment OnboardingRig::environment() const {
  return {
      {"REPO_PATH", git.work()},
      {"YAML_DIR", root / "requests"},
      {"GITLAB_URL", gitlab.api_url()},
      {"PROJECT_ID", "42"},
      {"GITLAB_TOKEN", kToken},
      {"GIT_COMMITTER_EMAIL", "onboarding@example.com"},
      {"GIT_COMMITTER_NAME", "Onboarding Agent"},
      {"JIRA_BASE_URL", kJira},
      {"TEAMS_WEBHOOK_URL", teams.webhook_url()},
      {"REVIEWER_USERNAMES", " alice, bob "},
      {"SSL_CERT_FILE", certificates() / "ca.pem"},
  };
}

OnboardingRig::~OnboardingRig() {
  release();
  if (flow_may_fail) return;
  for (const standins::FlowRun& run : teams.failed_runs())
    ADD_FAILURE() << "the Workflows flow failed a run: " << run.error;
}

ProcessResult OnboardingRig::run(const Environment& changes) const {
  Environment env = environment();
  for (const auto& [name, value] : changes) env[name] = value;
  return run_with(env);
}

ProcessResult OnboardingRig::run_with(const Environment& env,
                                      const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {quillmere_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, root / "run", env, 120);
}

Environment OnboardingRig::traced(Environment env) const {
  if (!file_exists(root / "bin/git")) write_recording_git(root / "bin", root / "git-commands");
  env["PATH"] = root / "bin:" + std::getenv("PATH");
  return env;
}

std::vector<std::string> OnboardingRig::git_commands() const {
  return split_lines(read_file(root / "git-commands"));
}

void OnboardingRig::forget_git_commands() const { write_file(root / "git-commands", ""); }

std::string OnboardingRig::log_text() const { return read_file(root / "run/logs/onboarding.log"); }

void OnboardingRig::install_holding_hook(const std::string& path,
                                         const std::string& condition) const {
  write_file(path, "#!/bin/sh\ncat >/dev/null\nif " + condition + "; then\n  touch '" +
                       root / "held" + "'\n  i=0\n  while [ ! -e '" + root / "released" +
                       "' ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done\nfi\n");
  sh("chmod +x '" + path + "'");
}

void OnboardingRig::hold_pushes() const {
  install_holding_hook(git.remote() + "/hooks/pre-receive", "true");
}

bool OnboardingRig::wait_until_held() const {
  return wait_until([&] { return file_exists(root / "held"); }, std::chrono::seconds(20));
}

void OnboardingRig::release() const { write_file(root / "released", ""); }

}  // namespace quillmere::testing

#include "tests/support/onboarding_rig.h"

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

standins::GitLabStandin::Options gitlab_options() {
  standins::GitLabStandin::Options options;
  options.token = OnboardingRig::kToken;
  options.project_id = "42";
  options.users = {{101, "alice", "Alice"}, {102, "bob", "Bob"}};
  options.tls = server_tls();
  return options;
}

standins::TeamsStandin::Options teams_options() {
  standins::TeamsStandin::Options options;
  options.tls = server_tls();
  return options;
}

}  // namespace

OnboardingRig::OnboardingRig() : gitlab(gitlab_options()), teams(teams_options()) {
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

ProcessResult OnboardingRig::run() const {
  return run_process({quillmere_binary()}, root / "run", environment(), 120);
}

Environment OnboardingRig::traced(Environment env) const {
  if (!file_exists(root / "bin/git")) {
    make_dir(root / "bin");
    write_file(root / "bin/git", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + root / "git-commands" +
                                     "'\nexec '" + sh("command -v git") + "' \"$@\"\n");
    sh("chmod +x '" + root / "bin/git" + "'");
  }
  env["PATH"] = root / "bin:" + std::getenv("PATH");
  return env;
}

std::vector<std::string> OnboardingRig::git_commands() const {
  return split_lines(read_file(root / "git-commands"));
}

void OnboardingRig::forget_git_commands() const { write_file(root / "git-commands", ""); }

std::string OnboardingRig::log_text() const { return read_file(root / "run/logs/onboarding.log"); }

}  // namespace quillmere::testing

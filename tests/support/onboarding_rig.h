// Everything one run of the real binary meets, the way a user has it: a real
// git remote and working copy, a directory of request files, and the GitLab
// and Teams stand-ins over HTTPS, trusted through a throwaway CA given in
// SSL_CERT_FILE. Built with the integration tests (it runs their binary).
#pragma once

#include <string>
#include <vector>

#include "tests/standins/standin_servers.h"
#include "tests/support/git_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {

class OnboardingRig {
 public:
  static constexpr const char* kToken = "glpat-end-to-end-secret";
  static constexpr const char* kJira = "https://jira.example.com/browse";

  /// GitLab knows alice (101) and bob (102), who are the reviewers; its
  /// project's repository is the remote. Both stand-ins keep connections
  /// open as `keep_alive` says.
  explicit OnboardingRig(standins::KeepAlive keep_alive = {});

  /// Writes a request file into the request directory.
  void add_request(const std::string& name, const std::string& content) const;

  /// A clean environment for the program: only its settings, plus PATH and
  /// HOME when run; no proxy variables, no CA bundle but the throwaway one.
  Environment environment() const;

  /// Releases held hooks and checks that the Workflows flow failed no run,
  /// unless told otherwise.
  ~OnboardingRig();

  /// Runs the program in root/run with environment(), `changes` replacing
  /// or adding variables.
  ProcessResult run(const Environment& changes = {}) const;
  /// Runs the program with `args` in root/run with exactly `env`.
  ProcessResult run_with(const Environment& env, const std::vector<std::string>& args = {}) const;

  /// `env` with a git first on PATH that records every command it is given.
  Environment traced(Environment env) const;
  /// The recorded git commands ("ARGS", one per command), and forgetting them.
  std::vector<std::string> git_commands() const;
  void forget_git_commands() const;

  /// The program's log file.
  std::string log_text() const;

  /// Installs a hook at `path` that, when the shell test `condition` holds,
  /// says so in root/held and waits (at most about 10 s) until release().
  void install_holding_hook(const std::string& path, const std::string& condition) const;
  /// Holds every push to the remote so.
  void hold_pushes() const;
  /// Waits (at most 20 s) until a hook holds; false if none did.
  bool wait_until_held() const;
  /// Lets every holding hook go on; done at the end of every test.
  void release() const;

  TempDir root;
  GitRemoteFixture git{root.path()};
  standins::GitLabStandin gitlab;
  standins::TeamsStandin teams;
  /// Set by a test that posts what the flow cannot take, on purpose.
  bool flow_may_fail = false;
};

}  // namespace quillmere::testing

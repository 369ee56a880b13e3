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

  /// GitLab knows alice (101) and bob (102), who are the reviewers.
  OnboardingRig();

  /// Writes a request file into the request directory.
  void add_request(const std::string& name, const std::string& content) const;

  /// A clean environment for the program: only its settings, plus PATH and
  /// HOME when run; no proxy variables, no CA bundle but the throwaway one.
  Environment environment() const;

  /// Runs the program in root/run with environment().
  ProcessResult run() const;

  /// `env` with a git first on PATH that records every command it is given.
  Environment traced(Environment env) const;
  /// The recorded git commands ("ARGS", one per command), and forgetting them.
  std::vector<std::string> git_commands() const;
  void forget_git_commands() const;

  /// The program's log file.
  std::string log_text() const;

  TempDir root;
  GitRemoteFixture git{root.path()};
  standins::GitLabStandin gitlab;
  standins::TeamsStandin teams;
};

}  // namespace quillmere::testing

#include "tests/standins/bare_remote.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

extern char** environ;

namespace quillmere::standins {

namespace {

struct GitResult {
  int status = -1;
  std::string out;
};

// "git --git-dir=DIR ARGS...", started without a shell; its standard output.
GitResult run_git(const std::string& git_dir, const std::vector<std::string>& args) {
  std::vector<std::string> words = {"git", "--git-dir=" + git_dir};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("stand-in: pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "git", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  GitResult result;
  if (spawned == 0) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
      result.out.append(buffer, static_cast<size_t>(n));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(out[0]);
  while (!result.out.empty() && (result.out.back() == '\n' || result.out.back() == '\r'))
    result.out.pop_back();
  return result;
}

}  // namespace

std::optional<std::string> BareRemote::branch_head(const std::string& branch) const {
  if (!exists()) return std::nullopt;
  const GitResult head =
      run_git(git_dir_, {"rev-parse", "--verify", "--quiet", "refs/heads/" + branch});
  if (head.status != 0 || head.out.empty()) return std::nullopt;
  return head.out;
}

void BareRemote::keep_merge_request_head(long long iid, const std::string& commit) const {
  if (exists())
    run_git(git_dir_,
            {"update-ref", "refs/merge-requests/" + std::to_string(iid) + "/head", commit});
}

std::optional<std::string> BareRemote::merge(const std::string& source,
                                             const std::string& target) const {
  const std::optional<std::string> source_head = branch_head(source);
  const std::optional<std::string> target_head = branch_head(target);
  if (!source_head || !target_head) return std::nullopt;
  if (run_git(git_dir_, {"merge-base", "--is-ancestor", *target_head, *source_head}).status != 0)
    return std::nullopt;
  const GitResult commit = run_git(
      git_dir_, {"-c", "user.name=GitLab", "-c", "user.email=gitlab@example.com", "commit-tree",
                 *source_head + "^{tree}", "-p", *target_head, "-p", *source_head, "-m",
                 "Merge branch '" + source + "' into '" + target + "'"});
  if (commit.status != 0 || commit.out.empty()) return std::nullopt;
  run_git(git_dir_, {"update-ref", "refs/heads/" + target, commit.out, *target_head});
  return commit.out;
}

void BareRemote::delete_branch(const std::string& branch) const {
  if (exists()) run_git(git_dir_, {"update-ref", "-d", "refs/heads/" + branch});
}

}  // namespace quillmere::standins

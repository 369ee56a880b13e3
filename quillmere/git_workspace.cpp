#include "quillmere/git_workspace.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

#include "quillmere/command_runner.h"
#include "quillmere/logging.h"
#include "quillmere/request_file.h"
#include "quillmere/text.h"
#include "quillmere/types.h"

namespace quillmere {

namespace {

// The unmerged states of the porcelain format, in the order they are tested.
constexpr std::array<std::string_view, 7> kConflictCodes = {"UU", "AA", "DD", "AU",
                                                            "UA", "DU", "UD"};

void change_directory(const std::string& dir, const std::string& shown_as) {
  if (dir.empty()) throw OnboardingError("Cannot change into REPO_PATH: it is not set");
  if (::chdir(dir.c_str()) != 0)
    throw OnboardingError("Cannot change into REPO_PATH " + shown_as + ": " + std::strerror(errno));
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

// Why git would refuse `name` as a branch (the rules of
// "git check-ref-format --branch"), or nothing when it is acceptable.
std::optional<std::string> branch_name_problem(std::string_view name) {
  if (name.empty()) return "it is empty";
  if (name == "@" || name == "HEAD") return "it is reserved by git";
  if (name.front() == '-') return "it begins with \"-\"";
  if (name.front() == '/' || name.back() == '/') return "it begins or ends with \"/\"";
  if (name.back() == '.') return "it ends with \".\"";
  if (name.find("..") != std::string_view::npos) return "it contains \"..\"";
  if (name.find("@{") != std::string_view::npos) return "it contains \"@{\"";
  if (name.find("//") != std::string_view::npos) return "it contains an empty path component";
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "it contains a control character";
    if (c == ' ') return "it contains a blank";
    if (std::strchr("~^:?*[\\", c) != nullptr) return std::string("it contains \"") + c + "\"";
  }
  size_t start = 0;
  while (start <= name.size()) {
    const size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view component = name.substr(start, slash - start);
    if (component.empty()) return "it contains an empty path component";
    if (component.front() == '.') return "a path component begins with \".\"";
    if (component.ends_with(".lock")) return "a path component ends with \".lock\"";
    start = slash + 1;
  }
  return std::nullopt;
}

// Control characters would break the log line apart; show them as escapes.
std::string printable(std::string_view text) {
  std::string shown;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

// A path as one shell word that cp cannot mistake for an option.
std::string path_word(const std::string& path) {
  if (!path.empty() && path.front() == '-') return shell_word("./" + path);
  return shell_word(path);
}

// A file name as a git pathspec that matches exactly that file: names with
// wildcard or magic characters are marked literal, so "*.yaml" adds only the
// file of that name and a leading "-" cannot be read as an option.
std::string literal_pathspec_word(const std::string& name) {
  const bool needs_literal = name.find_first_of("*?[\\") != std::string::npos ||
                             (!name.empty() && (name.front() == ':' || name.front() == '-'));
  return shell_word(needs_literal ? ":(literal)" + name : name);
}

std::string message_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "";
  }
}

// Steps after the branch was created: copy, commit and push.
void commit_and_push(const Settings& settings, const std::string& file_path,
                     const std::string& branch_name) {
  const std::string filename = last_path_component(file_path);
  run_command("cp " + path_word(file_path) + " " + path_word(settings.repo_dir + "/" + filename),
              false);
  // The commit message comes from a fresh parse of the file as committed.
  const OnboardingRequest request = parse_file(file_path);
  const std::string commit_msg = request.ticket + ": onboard " + request.project_name + " to " +
                                 request.environment + " environment";
  run_command("git add " + literal_pathspec_word(filename), false);
  run_command("git commit -m \"" + escape_for_double_quotes(commit_msg) + "\"", false);
  run_command("git push origin " + shell_word(branch_name), false);
}

// Leaves the half-made branch and deletes it locally. A failure here is only
// reported: the caller passes on the failure that made the rollback necessary.
void roll_back(const std::string& branch_name, const std::string& return_to) {
  try {
    run_command("git checkout " + shell_word(return_to), false);
    run_command("git branch -D " + shell_word(branch_name), false);
    logger().info("🔄 Rolled back: deleted branch " + branch_name);
  } catch (const std::exception& failure) {
    logger().warning(std::string("Rollback failed: ") + failure.what());
  }
}

// Puts the stashed changes back onto the target branch. Never fails the call.
void restore_stash(const std::string& target_branch) {
  try {
    run_command("git checkout " + shell_word(target_branch), false);
    const CommandResult pop = run_shell("git stash pop");
    if (pop.succeeded())
      logger().info("📦 Restored stashed changes");
    else
      logger().warning("Stash pop failed: " + trim(pop.err));
  } catch (const std::exception& failure) {
    logger().warning(std::string("Could not restore stash: ") + failure.what());
  }
}

}  // namespace

bool has_merge_conflicts(std::string_view porcelain_status) {
  for (std::string_view line : split(porcelain_status, '\n')) {
    const std::string_view code = line.substr(0, 2);
    for (std::string_view conflict : kConflictCodes)
      if (code == conflict) return true;
  }
  return false;
}

void validate_git_repo(const std::string& repo_path_as_given, const std::string& repo_dir) {
  if (repo_dir.empty() || !path_exists(join_path(repo_dir, ".git")))
    throw OnboardingError(repo_path_as_given + " is not a git repository");
  change_directory(repo_dir, repo_path_as_given);

  // Started directly: a failing status query counts as a status without conflicts.
  const CommandResult status = run_shell("git status --porcelain");
  if (has_merge_conflicts(status.out))
    throw OnboardingError("Repository has merge conflicts that need manual resolution");
  logger().info("✅ Git repository validation passed");
}

void configure_git_identity() {
  const std::optional<std::string> email = env_value("GIT_COMMITTER_EMAIL");
  const std::optional<std::string> name = env_value("GIT_COMMITTER_NAME");
  if (!email || email->empty()) throw OnboardingError("❌ GIT_COMMITTER_EMAIL not set in .env");

  run_command("git config user.email \"" + escape_for_double_quotes(*email) + "\"");
  if (name && !name->empty())
    run_command("git config user.name \"" + escape_for_double_quotes(*name) + "\"");
  // Without a name the repository keeps the one it has; the line says so.
  const std::string shown_name = name ? *name : "(name unchanged)";
  logger().info("🔧 Git identity set → " + shown_name + " <" + *email + ">");
}

void cleanup_repo_state() {
  // Deliberately destructive: changes to tracked files are thrown away, so
  // every branch starts from the committed state. Untracked files stay.
  const std::string status = run_command("git status --porcelain", true);
  // Conflicted entries are part of a non-empty status, so one test covers both.
  if (!status.empty()) {
    logger().warning("Dirty/conflicted index detected — resetting...");
    run_command("git reset HEAD", false);
    run_command("git checkout -- .", false);
  }

  const std::string stashes = run_command("git stash list", true);
  if (!stashes.empty()) {
    logger().info("🗑️ Dropping leftover stash: " + first_line(stashes));
    run_command("git stash drop", false);
  }
}

void validate_branch_name(const std::string& branch_name) {
  if (const auto problem = branch_name_problem(branch_name))
    throw OnboardingError("Invalid branch name: " + printable(branch_name) + " (" + *problem + ")");
}

bool check_branch_exists(const std::string& branch_name) {
  // A name git would read as a pattern or an option must never reach it.
  validate_branch_name(branch_name);

  const std::string local = run_command("git branch --list " + shell_word(branch_name), true);
  if (!local.empty()) return true;

  // ls-remote also matches "team/NAME"; only refs/heads/NAME itself counts.
  const std::string remote =
      run_command("git ls-remote --heads origin " + shell_word(branch_name), true);
  const std::string wanted = "refs/heads/" + branch_name;
  for (std::string_view line : split(remote, '\n')) {
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.substr(tab + 1) == wanted) return true;
  }
  return false;
}

void create_branch_and_commit(const Settings& settings, const std::string& file_path,
                              const std::string& branch_name, const std::string& target_branch,
                              const std::string& project_name) {
  // Preparation: a failure here goes straight to the caller, nothing to undo.
  change_directory(settings.repo_dir, settings.repo_path.value_or(settings.repo_dir));
  logger().info("🚀 Working on branch: " + branch_name + " for project: " + project_name);
  // Branch names come from the request, so they are validated before any git command.
  validate_branch_name(branch_name);
  validate_branch_name(target_branch);
  if (check_branch_exists(branch_name))
    throw OnboardingError("Branch " + branch_name +
                          " already exists! Skipping to avoid conflicts.");
  configure_git_identity();
  cleanup_repo_state();

  const CommandResult stash_result = run_shell("git stash");
  const bool stashed = stash_result.out.find("Saved working directory") != std::string::npos;
  if (stashed) logger().info("📦 Stashed local changes: " + trim(stash_result.out));

  std::optional<std::string> original_branch;
  std::exception_ptr failure;
  try {
    original_branch = run_command("git branch --show-current", true);
    run_command("git checkout " + shell_word(target_branch), false);
    run_command("git pull", false);
    run_command("git checkout -b " + shell_word(branch_name), false);
    logger().info("✅ Created branch: " + branch_name);
    commit_and_push(settings, file_path, branch_name);
    logger().info("✅ Successfully pushed branch: " + branch_name);
  } catch (...) {
    failure = std::current_exception();
    logger().error("Failed during branch operations: " + message_of(failure));
    try {
      // Only a branch that exists needs deleting; a failure of this check
      // replaces the original one, the stash is still restored below.
      if (!branch_name.empty() && check_branch_exists(branch_name)) {
        const bool have_original = original_branch && !original_branch->empty();
        roll_back(branch_name, have_original ? *original_branch : target_branch);
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (stashed) restore_stash(target_branch);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillmere

#include "quillmere/git/branch_workflow.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "quillmere/git/branch_plan.h"
#include "quillmere/git/git_workspace.h"
#include "quillmere/request/onboarding_texts.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

CommandLine git(std::initializer_list<std::string_view> words) { return CommandLine("git", words); }

// A path as one argument that cp cannot mistake for an option.
std::string path_argument(const std::string& path) {
  return !path.empty() && path.front() == '-' ? "./" + path : path;
}

// A file name as a git pathspec that matches exactly that file: names with
// wildcard or magic characters are marked literal, so "*.yaml" adds only the
// file of that name and a leading "-" cannot be read as an option.
std::string literal_pathspec(const std::string& name) {
  const bool needs_literal = name.find_first_of("*?[\\") != std::string::npos ||
                             (!name.empty() && (name.front() == ':' || name.front() == '-'));
  return needs_literal ? ":(literal)" + name : name;
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

// Steps after the branch was created: copy, check, commit and push.
// `copy_made` is set once the copy may lie in the working copy.
void commit_and_push(const Settings& settings, const RequestFile& request, bool& copy_made) {
  const std::string& filename = request.file_name;
  const std::string copy = settings.repo_dir + "/" + filename;
  copy_made = true;
  run_command(CommandLine("cp").arg(path_argument(request.path)).arg(path_argument(copy)), false);
  // What is committed must be exactly what was checked and parsed: a file
  // swapped in after it was read is refused, not published.
  const std::string copied = read_request_file(copy);
  if (copied != request.content)
    throw OnboardingError("Request file " + printable(filename) +
                          " changed while it was being onboarded; it is not committed");
  // The commit message comes from a fresh parse of the file as committed.
  const std::string commit_msg = commit_message_for(parse_request(filename, copied));
  run_command(git({"add"}).arg(literal_pathspec(filename)), false);
  run_command(git({"commit", "-m"}).quoted_arg(commit_msg), false);
  // The last point at which a stop request can still undo everything.
  if (const int signal_number = stop_signal())
    throw OnboardingError("Stopped by " + stop_signal_name(signal_number) + " before the push");
  run_command(git({"push", "origin"}).arg(request.branch), false);
}

// Leaves the half-made branch and deletes it locally, and with it the
// request's copy: left behind, staged or not, it would stand in the way of
// every later checkout of a branch that has the file. A failure here is only
// reported: the caller passes on the failure that made the rollback necessary.
void roll_back(const std::string& branch_name, const std::string& return_to,
               const std::string& copy) {
  try {
    if (!copy.empty()) {
      // The copy goes, and the branch's tracked files return to its last
      // commit (the file too, when the branch had it).
      if (::unlink(copy.c_str()) != 0 && errno != ENOENT)
        throw OnboardingError("Cannot remove " + printable(copy) + ": " + std::strerror(errno));
      run_command(git({"reset", "--hard"}), false);
    }
    run_command(git({"checkout"}).arg(return_to), false);
    run_command(git({"branch", "-D"}).arg(branch_name), false);
    logger().info("🔄 Rolled back: deleted branch " + branch_name);
  } catch (const std::exception& failure) {
    logger().warning(std::string("Rollback failed: ") + failure.what());
  }
}

// Puts the stashed changes back onto the target branch. Never fails the call.
void restore_stash(const std::string& target_branch) {
  try {
    run_command(git({"checkout"}).arg(target_branch), false);
    const CommandResult pop = run_program(git({"stash", "pop"}));
    if (pop.succeeded())
      logger().info("📦 Restored stashed changes");
    else
      logger().warning("Stash pop failed: " + printable(trim(pop.err + pop.start_error)));
  } catch (const std::exception& failure) {
    logger().warning(std::string("Could not restore stash: ") + failure.what());
  }
}

}  // namespace

void create_branch_and_commit(const Settings& settings, const RequestFile& request) {
  const std::string& branch_name = request.branch;
  const std::string& target_branch = request.target;
  // Preparation: a failure here goes straight to the caller, nothing to undo.
  enter_working_copy(settings);
  configure_git_identity(settings);
  cleanup_repo_state();

  const CommandResult stash_result = run_program(git({"stash"}));
  const bool stashed = stash_result.out.find("Saved working directory") != std::string::npos;
  if (stashed) logger().info("📦 Stashed local changes: " + printable(trim(stash_result.out)));

  std::optional<std::string> original_branch;
  std::exception_ptr failure;
  bool copied = false;
  try {
    original_branch = run_command(git({"branch", "--show-current"}), true);
    run_command(git({"checkout"}).arg(target_branch), false);
    run_command(git({"pull"}), false);
    run_command(git({"checkout", "-b"}).arg(branch_name), false);
    logger().info("✅ Created branch: " + branch_name);
    commit_and_push(settings, request, copied);
    logger().info("✅ Successfully pushed branch: " + branch_name);
  } catch (...) {
    failure = std::current_exception();
    logger().error("Failed during branch operations: " + message_of(failure));
    try {
      // Only a branch that exists needs deleting; a failure of this check
      // replaces the original one, the stash is still restored below.
      if (check_branch_exists(branch_name)) {
        const bool have_original = original_branch && !original_branch->empty();
        roll_back(branch_name, have_original ? *original_branch : target_branch,
                  copied ? settings.repo_dir + "/" + request.file_name : std::string());
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (stashed) restore_stash(target_branch);
  if (failure) std::rethrow_exception(failure);
}

void push_taken_up_branch(const RequestFile& request) {
  run_command(git({"push", "origin"}).arg(request.branch), false);
  logger().info("✅ Successfully pushed branch: " + request.branch);
}

}  // namespace quillmere

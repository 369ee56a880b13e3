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
#include "quillmere/util/atomic_file.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

CommandLine git(std::initializer_list<std::string_view> words) { return CommandLine("git", words); }

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

// Steps after the branch was created: write, commit and push.
// `copy_made` is set once the copy may lie in the working copy.
void commit_and_push(const Settings& settings, const RequestFile& request, bool& copy_made) {
  const ChildSetup& children = settings.children;
  copy_made = true;
  // Exactly the bytes that were read and parsed, whatever happened to the
  // request directory since; a link at that name is replaced, not followed.
  write_file_atomically(join_path(settings.repo_dir, request.file_name), request.content);
  // The commit message is the request's, as the log tells once more.
  log_parse_notes(request.parsed.notes);
  const std::string commit_msg = commit_message_for(request.request);
  run_command(git({"add"}).arg(literal_pathspec(request.file_name)), children, false);
  run_command(git({"commit", "-m"}).quoted_arg(commit_msg), children, false);
  // The last point at which a stop request can still undo everything.
  if (const int signal_number = stop_signal())
    throw OnboardingError("Stopped by " + stop_signal_name(signal_number) + " before the push");
  run_command(git({"push", "origin"}).arg(request.branch), children, false);
}

// Leaves the half-made branch and deletes it locally, and with it the
// request's copy: left behind, staged or not, it would stand in the way of
// every later checkout of a branch that has the file. A failure here is only
// reported: the caller passes on the failure that made the rollback necessary.
void roll_back(const ChildSetup& children, const std::string& branch_name,
               const std::string& return_to, const std::string& copy) {
  try {
    if (!copy.empty()) {
      // The copy goes, and the branch's tracked files return to its last
      // commit (the file too, when the branch had it).
      if (::unlink(copy.c_str()) != 0 && errno != ENOENT)
        throw OnboardingError("Cannot remove " + printable(copy) + ": " + std::strerror(errno));
      run_command(git({"reset", "--hard"}), children, false);
    }
    run_command(git({"checkout"}).arg(return_to), children, false);
    run_command(git({"branch", "-D"}).arg(branch_name), children, false);
    logger().info("🔄 Rolled back: deleted branch " + branch_name);
  } catch (const std::exception& failure) {
    logger().warning(std::string("Rollback failed: ") + failure.what());
  }
}

// Puts the stashed changes back onto the target branch. Never fails the call.
void restore_stash(const ChildSetup& children, const std::string& target_branch) {
  try {
    run_command(git({"checkout"}).arg(target_branch), children, false);
    const CommandResult pop = run_program(git({"stash", "pop"}), children);
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
  const ChildSetup& children = settings.children;
  enter_working_copy(settings);
  configure_git_identity(settings);
  cleanup_repo_state(children);

  const CommandResult stash_result = run_program(git({"stash"}), children);
  const bool stashed = stash_result.out.find("Saved working directory") != std::string::npos;
  if (stashed) logger().info("📦 Stashed local changes: " + printable(trim(stash_result.out)));

  std::optional<std::string> original_branch;
  std::exception_ptr failure;
  bool copied = false;
  try {
    original_branch = run_command(git({"branch", "--show-current"}), children, true);
    run_command(git({"checkout"}).arg(target_branch), children, false);
    run_command(git({"pull"}), children, false);
    run_command(git({"checkout", "-b"}).arg(branch_name), children, false);
    logger().info("✅ Created branch: " + branch_name);
    commit_and_push(settings, request, copied);
    logger().info("✅ Successfully pushed branch: " + branch_name);
  } catch (...) {
    failure = std::current_exception();
    logger().error("Failed during branch operations: " + message_of(failure));
    try {
      // Only a branch that exists needs deleting; a failure of this check
      // replaces the original one, the stash is still restored below.
      if (check_branch_exists(children, branch_name)) {
        const bool have_original = original_branch && !original_branch->empty();
        roll_back(children, branch_name, have_original ? *original_branch : target_branch,
                  copied ? join_path(settings.repo_dir, request.file_name) : std::string());
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (stashed) restore_stash(children, target_branch);
  if (failure) std::rethrow_exception(failure);
}

void push_taken_up_branch(const ChildSetup& children, const RequestFile& request) {
  run_command(git({"push", "origin"}).arg(request.branch), children, false);
  logger().info("✅ Successfully pushed branch: " + request.branch);
}

}  // namespace quillmere

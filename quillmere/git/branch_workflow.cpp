#include "quillmere/git/branch_workflow.h"

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

// The checked-out target as origin has it: pulled, or (per-run) fast-forwarded
// to what the run's fetch brought, without asking origin again. Either fails
// when the target has gone its own way.
void bring_target_up_to_date(const ChildSetup& children, const std::string& target_branch,
                             OriginSync sync) {
  if (sync == OriginSync::PerRun)
    run_command(git({"merge", "--ff-only"}).arg("refs/remotes/origin/" + target_branch), children,
                false);
  else
    run_command(git({"pull"}), children, false);
}

// "git push origin BRANCH". With per-run the branch was found missing on
// origin by the run's fetch, maybe minutes ago: the push may only create it,
// so that a branch someone else pushed since fails the push like any rejected
// push, even one ours would fast-forward.
void push_new_branch(const ChildSetup& children, const std::string& branch_name, OriginSync sync) {
  CommandLine push = git({"push"});
  if (sync == OriginSync::PerRun) push.arg("--force-with-lease=refs/heads/" + branch_name + ":");
  run_command(push.arg("origin").arg(branch_name), children, false);
}

// Steps after the branch was created: write, commit and push.
void commit_and_push(const Settings& settings, const RequestFile& request) {
  const ChildSetup& children = settings.children;
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
  push_new_branch(children, request.branch, settings.origin_sync);
}

// Leaves the half-made branch and deletes it locally. A failure here is only
// reported: the caller passes on the failure that made the rollback necessary.
void roll_back(const ChildSetup& children, const std::string& branch_name,
               const std::string& return_to) {
  try {
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
  try {
    original_branch = run_command(git({"branch", "--show-current"}), children, true);
    run_command(git({"checkout"}).arg(target_branch), children, false);
    bring_target_up_to_date(children, target_branch, settings.origin_sync);
    run_command(git({"checkout", "-b"}).arg(branch_name), children, false);
    logger().info("✅ Created branch: " + branch_name);
    commit_and_push(settings, request);
    logger().info("✅ Successfully pushed branch: " + branch_name);
  } catch (...) {
    failure = std::current_exception();
    logger().error("Failed during branch operations: " + message_of(failure));
    try {
      // Only a branch that exists needs deleting; a failure of this check
      // replaces the original one, the stash is still restored below.
      if (check_branch_exists(children, branch_name, settings.origin_sync)) {
        const bool have_original = original_branch && !original_branch->empty();
        roll_back(children, branch_name, have_original ? *original_branch : target_branch);
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (stashed) restore_stash(children, target_branch);
  if (failure) std::rethrow_exception(failure);
}

void push_taken_up_branch(const ChildSetup& children, const RequestFile& request, OriginSync sync) {
  push_new_branch(children, request.branch, sync);
  logger().info("✅ Successfully pushed branch: " + request.branch);
}

}  // namespace quillmere

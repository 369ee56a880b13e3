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

// "git push origin BRANCH", never forced. With per-run origin's branch was
// read from the run's fetch, maybe minutes ago: the push leases what the run
// found there (`found_on_origin`, empty for no branch, so that the push may
// only create it), and a branch someone else pushed or moved since fails the
// push like any rejected push, even one ours would fast-forward.
void push_branch(const ChildSetup& children, const std::string& branch_name, OriginSync sync,
                 const std::string& found_on_origin) {
  CommandLine push = git({"push"});
  if (sync == OriginSync::PerRun)
    push.arg("--force-with-lease=refs/heads/" + branch_name + ":" + found_on_origin);
  run_command(push.arg("origin").arg(branch_name), children, false);
}

// Steps after the branch was made: write, commit and push. The commit
// message comes from `message_for`; the push leases `found_on_origin`.
// `copy_made` is set once the copy may lie in the working copy.
void commit_and_push(const Settings& settings, const RequestFile& request,
                     std::string (*message_for)(const OnboardingRequest&),
                     const std::string& found_on_origin, bool& copy_made) {
  const ChildSetup& children = settings.children;
  copy_made = true;
  // Exactly the bytes that were read and parsed, whatever happened to the
  // request directory since; a link at that name is replaced, not followed.
  write_file_atomically(join_path(settings.repo_dir, request.file_name), request.content);
  // The commit message is the request's, as the log tells once more.
  log_parse_notes(request.parsed.notes);
  const std::string commit_msg = message_for(request.request);
  run_command(git({"add"}).arg(literal_pathspec(request.file_name)), children, false);
  run_command(git({"commit", "-m"}).quoted_arg(commit_msg), children, false);
  // The last point at which a stop request can still undo everything.
  if (const int signal_number = stop_signal())
    throw OnboardingError("Stopped by " + stop_signal_name(signal_number) + " before the push");
  push_branch(children, request.branch, settings.origin_sync, found_on_origin);
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
      logger().warning("Stash pop failed: " + printable(trim(failure_reason(pop, children))));
  } catch (const std::exception& failure) {
    logger().warning(std::string("Could not restore stash: ") + failure.what());
  }
}

// The sequence both ways of committing share: preparation, `make_branch`
// and the commit and push (leasing `found_on_origin`, see push_branch), the rollback on failure and
// the stash restore.
template <typename MakeBranch>
void commit_on_branch(const Settings& settings, const RequestFile& request,
                      std::string (*message_for)(const OnboardingRequest&),
                      const std::string& found_on_origin, MakeBranch make_branch) {
  const std::string& branch_name = request.branch;
  const std::string& target_branch = request.target;
  // Preparation: a failure here goes straight to the caller, nothing to undo.
  const ChildSetup& children = settings.children;
  enter_working_copy(settings);
  configure_git_identity(settings);
  cleanup_repo_state(children);

  const CommandResult stash_result = run_program(git({"stash"}), children);
  const bool stashed = stash_result.out.find("Saved working directory") != std::string::npos;
  if (stashed)
    logger().info("📦 Stashed local changes: " + printable(excerpt(trim(stash_result.out))));

  std::optional<std::string> original_branch;
  std::exception_ptr failure;
  bool copied = false;
  try {
    original_branch = run_command(git({"branch", "--show-current"}), children, true);
    make_branch(children);
    commit_and_push(settings, request, message_for, found_on_origin, copied);
    logger().info("✅ Successfully pushed branch: " + branch_name);
  } catch (...) {
    failure = std::current_exception();
    logger().error("Failed during branch operations: " + message_of(failure));
    try {
      // Only a branch that exists needs deleting; a failure of this check
      // replaces the original one, the stash is still restored below.
      if (check_branch_exists(children, branch_name, settings.origin_sync)) {
        // The branch itself cannot be left for itself.
        const bool have_original =
            original_branch && !original_branch->empty() && *original_branch != branch_name;
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

}  // namespace

void create_branch_and_commit(const Settings& settings, const RequestFile& request) {
  // The plan found no branch of this name on origin.
  commit_on_branch(settings, request, commit_message_for, "", [&](const ChildSetup& children) {
    run_command(git({"checkout"}).arg(request.target), children, false);
    bring_target_up_to_date(children, request.target, settings.origin_sync);
    run_command(git({"checkout", "-b"}).arg(request.branch), children, false);
    logger().info("✅ Created branch: " + request.branch);
  });
}

void commit_on_own_branch(const Settings& settings, const RequestFile& request,
                          const std::string& tip, bool tip_on_origin) {
  commit_on_branch(
      settings, request, update_commit_message_for, tip_on_origin ? tip : "",
      [&](const ChildSetup& children) {
        // The local branch, made or moved to where the plan found
        // it: the commit goes on top of exactly what origin has.
        run_command(git({"checkout", "-B"}).arg(request.branch).arg(tip), children, false);
      });
}

void push_taken_up_branch(const ChildSetup& children, const RequestFile& request, OriginSync sync) {
  // Taken up because origin had no branch of this name.
  push_branch(children, request.branch, sync, "");
  logger().info("✅ Successfully pushed branch: " + request.branch);
}

}  // namespace quillmere

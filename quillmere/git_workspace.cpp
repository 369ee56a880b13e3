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
#include "quillmere/onboarding_texts.h"
#include "quillmere/paths.h"
#include "quillmere/request_file.h"
#include "quillmere/stop_signals.h"
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

CommandLine git(std::initializer_list<std::string_view> words) { return CommandLine("git", words); }

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
void commit_and_push(const Settings& settings, const std::string& file_path,
                     const std::string& content, const std::string& branch_name) {
  const std::string filename = last_path_component(file_path);
  const std::string copy = settings.repo_dir + "/" + filename;
  run_command(CommandLine("cp").arg(path_argument(file_path)).arg(path_argument(copy)), false);
  // What is committed must be exactly what was checked and parsed: a file
  // swapped in after it was read is refused, not published.
  const std::string copied = read_request_file(copy);
  if (copied != content)
    throw OnboardingError("Request file " + printable(filename) +
                          " changed while it was being onboarded; it is not committed");
  // The commit message comes from a fresh parse of the file as committed.
  const std::string commit_msg = commit_message_for(parse_request(filename, copied));
  run_command(git({"add"}).arg(literal_pathspec(filename)), false);
  run_command(git({"commit", "-m"}).quoted_arg(commit_msg), false);
  // The last point at which a stop request can still undo everything.
  if (const int signal_number = stop_signal())
    throw OnboardingError("Stopped by " + stop_signal_name(signal_number) + " before the push");
  run_command(git({"push", "origin"}).arg(branch_name), false);
}

// Leaves the half-made branch and deletes it locally. A failure here is only
// reported: the caller passes on the failure that made the rollback necessary.
void roll_back(const std::string& branch_name, const std::string& return_to) {
  try {
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

// "git branch --list NAME": non-empty when the branch exists locally.
bool has_local_branch(const std::string& branch_name) {
  return !run_command(git({"branch", "--list"}).arg(branch_name), true).empty();
}

// The object id of refs/heads/NAME on origin; empty when origin has no
// branch of exactly that name (ls-remote also lists "team/NAME").
std::string remote_branch_id(const std::string& branch_name) {
  const std::string remote =
      run_command(git({"ls-remote", "--heads", "origin"}).arg(branch_name), true);
  const std::string wanted = "refs/heads/" + branch_name;
  for (std::string_view line : split(remote, '\n')) {
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.substr(tab + 1) == wanted)
      return std::string(line.substr(0, tab));
  }
  return {};
}

bool is_known_target(const std::string& repo_dir, const std::string& target_branch) {
  const std::string git_dir = find_git_dir(repo_dir);
  return has_ref(git_dir, "refs/heads/" + target_branch) ||
         has_ref(git_dir, "refs/remotes/origin/" + target_branch);
}

// The environment must name a branch, here or on origin: a remote-tracking
// ref, a tag or a commit would be checked out as a detached HEAD.
void require_target_branch(const std::string& repo_dir, const std::string& target_branch) {
  if (is_known_target(repo_dir, target_branch)) return;
  throw OnboardingError("Target branch " + printable(target_branch) +
                        " is not a branch of the working copy or of origin");
}

// What an existing branch of the request's name holds.
struct ExistingBranch {
  std::string local_id;   ///< the local branch's commit; empty when only on origin
  std::string remote_id;  ///< the commit of the branch on origin; empty when not pushed
};

std::string commit_header(std::string_view commit, std::string_view name) {
  for (std::string_view line : split(commit.substr(0, commit.find("\n\n")), '\n'))
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ' ')
      return std::string(line.substr(name.size() + 1));
  return {};
}

// True when `tip` is this tool's commit of exactly this request file, made on
// top of the target branch: one parent that the target branch contains, a
// change to this one file with these very bytes, and the documented message.
bool is_commit_of_request(const std::string& tip, const std::string& target_branch,
                          const std::string& filename, const std::string& content) {
  const CommandResult commit = run_program(git({"cat-file", "commit"}).arg(tip), true);
  if (!commit.succeeded()) return false;
  const size_t body = commit.out.find("\n\n");
  if (body == std::string::npos) return false;
  size_t parents = 0;
  for (std::string_view line : split(std::string_view(commit.out).substr(0, body), '\n'))
    parents += line.starts_with("parent ");
  if (parents != 1) return false;
  const std::string parent = commit_header(commit.out, "parent");

  // ":100644 100644 OLD NEW M\0PATH\0" for exactly one changed path.
  const CommandResult changes =
      run_program(git({"diff-tree", "-r", "-z", "--no-renames"}).arg(parent).arg(tip), true);
  if (!changes.succeeded()) return false;
  const std::vector<std::string_view> fields = split(changes.out, '\0');
  if (fields.size() != 3 || fields[1] != filename || !fields[2].empty()) return false;
  const std::vector<std::string_view> change = split(fields[0], ' ');
  if (change.size() != 5 || (change[4] != "A" && change[4] != "M")) return false;
  const CommandResult blob = run_program(git({"cat-file", "blob"}).arg(change[3]), true);
  if (!blob.succeeded() || blob.out != content) return false;

  bool on_target = false;
  for (const std::string& target_ref :
       {"refs/heads/" + target_branch, "refs/remotes/origin/" + target_branch}) {
    on_target = on_target ||
                run_program(git({"merge-base", "--is-ancestor"}).arg(parent).arg(target_ref))
                    .succeeded();
  }
  // The message is checked last: it takes a parse of the file, which logs.
  return on_target &&
         commit.out.substr(body + 2) == commit_message_for(parse_request(filename, content)) + "\n";
}

// How an existing branch relates to the request.
enum class Leftover {
  Own,      ///< this request's own, from an earlier run
  Foreign,  ///< anything else
  Unseen,   ///< only on origin, never fetched, and fetching was not allowed
};

// Where the branch `branch_name` stands, here and on origin.
ExistingBranch locate_branch(const std::string& branch_name) {
  ExistingBranch branch;
  if (has_local_branch(branch_name)) {
    branch.local_id = run_command(git({"rev-parse", "--verify", "--quiet"}).arg("refs/heads/" + branch_name), true);
  }
  branch.remote_id = remote_branch_id(branch_name);
  return branch;
}

// Whether the existing branch is this request's own leftover: made by this
// tool for these bytes, and not moved on (locally or on origin) since. A
// branch only on origin is fetched to be examined when `may_fetch`.
Leftover classify_existing_branch(const ExistingBranch& branch, const std::string& branch_name,
                                  const std::string& target_branch, const std::string& filename,
                                  const std::string& content, bool may_fetch) {
  if (!branch.local_id.empty() && !branch.remote_id.empty() && branch.local_id != branch.remote_id)
    return Leftover::Foreign;
  std::string tip = branch.local_id.empty() ? branch.remote_id : branch.local_id;
  if (tip.empty()) return Leftover::Foreign;
  if (branch.local_id.empty() && !run_program(git({"cat-file", "-e"}).arg(tip)).succeeded()) {
    if (!may_fetch) return Leftover::Unseen;
    // Only on origin and never fetched here: fetch just that branch to look.
    if (!run_program(git({"fetch", "--no-tags", "origin"}).arg("refs/heads/" + branch_name)).succeeded())
      return Leftover::Foreign;
  }
  return is_commit_of_request(tip, target_branch, filename, content) ? Leftover::Own
                                                                     : Leftover::Foreign;
}

// The existing branch when it is this request's own leftover.
std::optional<ExistingBranch> find_leftover(const std::string& branch_name,
                                            const std::string& target_branch,
                                            const std::string& filename, const std::string& content) {
  const ExistingBranch branch = locate_branch(branch_name);
  if (classify_existing_branch(branch, branch_name, target_branch, filename, content,
                               /*may_fetch=*/true) != Leftover::Own)
    return std::nullopt;
  return branch;
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

namespace {

// A failing status query counts as a status without conflicts, but a git that
// cannot be started at all would fail every file: the run stops here instead.
void refuse_git_that_cannot_start(const CommandResult& status) {
  if (!status.start_error.empty()) throw OnboardingError("Cannot start git: " + status.start_error);
}

}  // namespace

RunLock validate_git_repo(const std::string& repo_path_as_given, const std::string& repo_dir) {
  if (repo_dir.empty() || !path_exists(join_path(repo_dir, ".git")))
    throw OnboardingError(repo_path_as_given + " is not a git repository");
  change_directory(repo_dir, repo_path_as_given);
  const std::string git_dir = find_git_dir(repo_dir);
  if (git_dir.empty()) throw OnboardingError(repo_path_as_given + " is not a git repository");
  RunLock lock(git_dir, repo_path_as_given);

  // Started directly: a failing status query counts as a status without conflicts.
  const CommandResult status = run_program(git({"status", "--porcelain"}));
  refuse_git_that_cannot_start(status);
  if (has_merge_conflicts(status.out))
    throw OnboardingError("Repository has merge conflicts that need manual resolution");
  logger().info("✅ Git repository validation passed");
  return lock;
}

WorkingCopyState inspect_working_copy(const std::string& repo_path_as_given,
                                      const std::string& repo_dir) {
  if (repo_dir.empty() || !path_exists(join_path(repo_dir, ".git")) ||
      find_git_dir(repo_dir).empty())
    throw OnboardingError(repo_path_as_given + " is not a git repository");
  change_directory(repo_dir, repo_path_as_given);
  check_run_lock_available(find_git_dir(repo_dir));
  const CommandResult status = run_program(git({"--no-optional-locks", "status", "--porcelain"}));
  refuse_git_that_cannot_start(status);
  if (has_merge_conflicts(status.out))
    throw OnboardingError("Repository has merge conflicts that need manual resolution");
  WorkingCopyState state;
  state.current_branch = trim(run_program(git({"branch", "--show-current"})).out);
  for (std::string_view line : split(status.out, '\n')) state.changed_entries += !line.empty();
  return state;
}

BranchInspection inspect_branch(const std::string& repo_dir, const std::string& branch_name,
                                const std::string& target_branch, const std::string& filename,
                                const std::string& content) {
  validate_branch_name(branch_name);
  validate_branch_name(target_branch);
  BranchInspection inspection;
  const ExistingBranch branch = locate_branch(branch_name);
  inspection.exists_here = !branch.local_id.empty();
  inspection.exists_on_origin = !branch.remote_id.empty();
  inspection.target_known = is_known_target(repo_dir, target_branch);
  inspection.target_on_origin = !remote_branch_id(target_branch).empty();
  if ((inspection.exists_here || inspection.exists_on_origin) && inspection.target_known) {
    const Leftover leftover = classify_existing_branch(branch, branch_name, target_branch,
                                                       filename, content, /*may_fetch=*/false);
    if (leftover != Leftover::Unseen) inspection.is_own_leftover = leftover == Leftover::Own;
  } else if (inspection.exists_here || inspection.exists_on_origin) {
    inspection.is_own_leftover = false;
  }
  return inspection;
}

void configure_git_identity(const Settings& settings) {
  const std::optional<std::string>& email = settings.git_committer_email;
  const std::optional<std::string>& name = settings.git_committer_name;
  if (!email || email->empty()) throw OnboardingError("❌ GIT_COMMITTER_EMAIL not set in .env");

  run_command(git({"config", "user.email"}).quoted_arg(*email));
  if (name && !name->empty()) run_command(git({"config", "user.name"}).quoted_arg(*name));
  // Without a name the repository keeps the one it has; the line says so.
  const std::string shown_name = name ? *name : "(name unchanged)";
  logger().info("🔧 Git identity set → " + shown_name + " <" + *email + ">");
}

void cleanup_repo_state() {
  // Deliberately destructive: changes to tracked files are thrown away, so
  // every branch starts from the committed state. Untracked files stay.
  const std::string status = run_command(git({"status", "--porcelain"}), true);
  // Conflicted entries are part of a non-empty status, so one test covers both.
  if (!status.empty()) {
    logger().warning("Dirty/conflicted index detected — resetting...");
    run_command(git({"reset", "HEAD"}), false);
    run_command(git({"checkout", "--", "."}), false);
  }

  const std::string stashes = run_command(git({"stash", "list"}), true);
  if (!stashes.empty()) {
    logger().info("🗑️ Dropping leftover stash: " + printable(first_line(stashes)));
    run_command(git({"stash", "drop"}), false);
  }
}

void validate_branch_name(const std::string& branch_name) {
  if (const auto problem = branch_name_problem(branch_name))
    throw OnboardingError("Invalid branch name: " + printable(branch_name) + " (" + *problem + ")");
}

bool check_branch_exists(const std::string& branch_name) {
  // A name git would read as a pattern or an option must never reach it.
  validate_branch_name(branch_name);

  if (has_local_branch(branch_name)) return true;
  return !remote_branch_id(branch_name).empty();
}

BranchOutcome create_branch_and_commit(const Settings& settings, const std::string& file_path,
                                       const std::string& content, const std::string& branch_name,
                                       const std::string& target_branch,
                                       const std::string& project_name) {
  // Preparation: a failure here goes straight to the caller, nothing to undo.
  change_directory(settings.repo_dir, settings.repo_path.value_or(settings.repo_dir));
  logger().info("🚀 Working on branch: " + printable(branch_name) +
                " for project: " + printable(project_name));
  // Branch names come from the request, so they are validated before any git command.
  validate_branch_name(branch_name);
  validate_branch_name(target_branch);
  require_target_branch(settings.repo_dir, target_branch);
  if (check_branch_exists(branch_name)) {
    const std::string filename = last_path_component(file_path);
    const std::optional<ExistingBranch> leftover =
        find_leftover(branch_name, target_branch, filename, content);
    if (!leftover)
      throw OnboardingError("Branch " + branch_name +
                            " already exists! Skipping to avoid conflicts.");
    logger().info("♻️ Branch " + branch_name +
                  " holds this request from an earlier run: taking it up");
    if (leftover->remote_id.empty()) {
      run_command(git({"push", "origin"}).arg(branch_name), false);
      logger().info("✅ Successfully pushed branch: " + branch_name);
    }
    return BranchOutcome::TakenUp;
  }
  configure_git_identity(settings);
  cleanup_repo_state();

  const CommandResult stash_result = run_program(git({"stash"}));
  const bool stashed = stash_result.out.find("Saved working directory") != std::string::npos;
  if (stashed) logger().info("📦 Stashed local changes: " + printable(trim(stash_result.out)));

  std::optional<std::string> original_branch;
  std::exception_ptr failure;
  try {
    original_branch = run_command(git({"branch", "--show-current"}), true);
    run_command(git({"checkout"}).arg(target_branch), false);
    run_command(git({"pull"}), false);
    run_command(git({"checkout", "-b"}).arg(branch_name), false);
    logger().info("✅ Created branch: " + branch_name);
    commit_and_push(settings, file_path, content, branch_name);
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
  return BranchOutcome::Pushed;
}

}  // namespace quillmere

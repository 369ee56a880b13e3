#include "quillmere/git/branch_plan.h"

#include <cstring>
#include <string_view>

#include "quillmere/git/git_directory.h"
#include "quillmere/git/git_workspace.h"
#include "quillmere/request/onboarding_texts.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

CommandLine git(std::initializer_list<std::string_view> words) { return CommandLine("git", words); }

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

std::string held_key(const std::string& target, const std::string& file_name) {
  return target + ":" + file_name;
}

// "git branch --list NAME": non-empty when the branch exists locally.
bool has_local_branch(const ChildSetup& children, const std::string& branch_name) {
  return !run_command(git({"branch", "--list"}).arg(branch_name), children, true).empty();
}

// The object id of exactly `ref` in a listing of "ID<TAB>REF" lines; empty
// when it is not listed (a pattern also lists "team/NAME" or "NAME/x").
std::string id_in_listing(std::string_view listing, std::string_view ref) {
  for (std::string_view line : split(listing, '\n')) {
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.substr(tab + 1) == ref)
      return std::string(line.substr(0, tab));
  }
  return {};
}

// The object id of refs/heads/NAME on origin, asked of origin; empty when
// origin has no branch of exactly that name.
std::string remote_branch_id(const ChildSetup& children, const std::string& branch_name) {
  const std::string remote =
      run_command(git({"ls-remote", "--heads", "origin"}).arg(branch_name), children, true);
  return id_in_listing(remote, "refs/heads/" + branch_name);
}

// The same as the run's fetch found it (refs/remotes/origin/NAME), without
// asking origin.
std::string fetched_branch_id(const ChildSetup& children, const std::string& branch_name) {
  const std::string ref = "refs/remotes/origin/" + branch_name;
  const std::string fetched = run_command(
      git({"for-each-ref", "--format=%(objectname)%09%(refname)"}).arg(ref), children, true);
  return id_in_listing(fetched, ref);
}

std::string origin_branch_id(const ChildSetup& children, const std::string& branch_name,
                             OriginSync sync) {
  return sync == OriginSync::PerRun ? fetched_branch_id(children, branch_name)
                                    : remote_branch_id(children, branch_name);
}

std::string local_branch_id(const ChildSetup& children, const std::string& branch_name) {
  return run_command(git({"rev-parse", "--verify", "--quiet"}).arg("refs/heads/" + branch_name),
                     children, true);
}

std::string commit_header(std::string_view commit, std::string_view name) {
  for (std::string_view line : split(commit.substr(0, commit.find("\n\n")), '\n'))
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ' ')
      return std::string(line.substr(name.size() + 1));
  return {};
}

// True when `tip` is this tool's commit of exactly this request file, made on
// top of the target branch: one parent that the target branch contains, a
// change to this one file, under its own name, with these very bytes, and
// the documented message.
bool is_commit_of_request(const ChildSetup& children, const std::string& tip,
                          const RequestFile& request) {
  const CommandResult commit = run_program(git({"cat-file", "commit"}).arg(tip), children, true);
  if (!commit.succeeded()) return false;
  const size_t body = commit.out.find("\n\n");
  if (body == std::string::npos) return false;
  if (commit.out.substr(body + 2) != commit_message_for(request.request) + "\n") return false;
  size_t parents = 0;
  for (std::string_view line : split(std::string_view(commit.out).substr(0, body), '\n'))
    parents += line.starts_with("parent ");
  if (parents != 1) return false;
  const std::string parent = commit_header(commit.out, "parent");

  // ":100644 100644 OLD NEW M\0PATH\0" for exactly one changed path.
  const CommandResult changes = run_program(
      git({"diff-tree", "-r", "-z", "--no-renames"}).arg(parent).arg(tip), children, true);
  if (!changes.succeeded()) return false;
  const std::vector<std::string_view> fields = split(changes.out, '\0');
  if (fields.size() != 3 || fields[1] != request.file_name || !fields[2].empty()) return false;
  const std::vector<std::string_view> change = split(fields[0], ' ');
  if (change.size() != 5 || (change[4] != "A" && change[4] != "M")) return false;
  const CommandResult blob = run_program(git({"cat-file", "blob"}).arg(change[3]), children, true);
  if (!blob.succeeded() || blob.out != request.content) return false;

  for (const std::string& target_ref :
       {"refs/heads/" + request.target, "refs/remotes/origin/" + request.target}) {
    if (run_program(git({"merge-base", "--is-ancestor"}).arg(parent).arg(target_ref), children)
            .succeeded())
      return true;
  }
  return false;
}

bool is_known_target(const std::string& repo_dir, const std::string& target_branch) {
  const std::string git_dir = find_git_dir(repo_dir);
  return has_ref(git_dir, "refs/heads/" + target_branch) ||
         has_ref(git_dir, "refs/remotes/origin/" + target_branch);
}

RequestPlan refused(RequestPlan plan, std::string reason) {
  plan.kind = PlanKind::Refuse;
  plan.reason = std::move(reason);
  return plan;
}

std::string already_exists(const RequestFile& request) {
  return "Branch " + request.branch + " already exists! Skipping to avoid conflicts.";
}

void announce_take_up(const RequestFile& request, PlanMode mode) {
  if (mode == PlanMode::Run)
    logger().info("♻️ Branch " + request.branch +
                  " holds this request from an earlier run: taking it up");
}

// The branch on origin is this request's own: already onboarded when its
// merge request is open, otherwise taken up.
RequestPlan own_branch_on_origin(RequestPlan plan, const RequestFile& request,
                                 const OpenMergeRequestLookup& find_open, PlanMode mode) {
  announce_take_up(request, mode);
  std::optional<nlohmann::json> open;
  // A look-up that fails decides nothing: the request fails with it, in the
  // run and in the dry run alike, rather than being taken up blind.
  try {
    open = find_open();
  } catch (const std::exception& failure) {
    return refused(plan, failure.what());
  }
  if (open) {
    plan.kind = PlanKind::AlreadyOnboarded;
    plan.open_merge_request = std::move(open);
  } else {
    plan.kind = PlanKind::TakeUp;
  }
  return plan;
}

}  // namespace

void validate_branch_name(const std::string& branch_name) {
  if (const auto problem = branch_name_problem(branch_name))
    throw OnboardingError("Invalid branch name: " + printable(branch_name) + " (" + *problem + ")");
}

bool check_branch_exists(const ChildSetup& children, const std::string& branch_name,
                         OriginSync sync) {
  // A name git would read as a pattern or an option must never reach it.
  validate_branch_name(branch_name);
  if (has_local_branch(children, branch_name)) return true;
  return !origin_branch_id(children, branch_name, sync).empty();
}

bool OriginTargets::holds(const std::string& target, const std::string& file_name,
                          const std::string& content) const {
  const auto found = held_.find(held_key(target, file_name));
  return found != held_.end() && found->second == content;
}

void OriginTargets::add(const std::string& target, const std::string& file_name,
                        std::string content) {
  held_[held_key(target, file_name)] = std::move(content);
}

OriginTargets compare_with_origin(const ChildSetup& children,
                                  const std::vector<TargetFile>& files) {
  OriginTargets targets;
  // One question per line: a name with a line break cannot be asked, and a
  // target git would refuse as a branch is no branch of origin.
  std::vector<const TargetFile*> asked;
  std::string questions;
  for (const TargetFile& file : files) {
    if (file.file_name.find_first_of("\n\r") != std::string::npos ||
        branch_name_problem(file.target))
      continue;
    asked.push_back(&file);
    questions += "refs/remotes/origin/" + file.target + ":" + file.file_name + "\n";
  }
  if (asked.empty()) return targets;
  const CommandResult answer =
      run_program(git({"cat-file", "--batch"}), children, true, &questions);
  if (!answer.succeeded()) {
    logger().warning("⚠️ Could not compare the requests with origin: " +
                     printable(trim(answer.timed_out ? timed_out_text(children.timeout_seconds)
                                                     : answer.err + answer.start_error)));
    return targets;
  }
  // Per question: "OID TYPE SIZE\n" and SIZE bytes and "\n", or "NAME missing\n"
  // (also "ambiguous"); anything unexpected ends the reading.
  std::string_view rest = answer.out;
  for (const TargetFile* file : asked) {
    const size_t line_end = rest.find('\n');
    if (line_end == std::string_view::npos) break;
    const std::string_view header = rest.substr(0, line_end);
    rest.remove_prefix(line_end + 1);
    if (header.ends_with(" missing") || header.ends_with(" ambiguous")) continue;
    const std::vector<std::string_view> words = split(header, ' ');
    if (words.size() != 3 || words[2].empty() || words[2].size() > 12) break;
    size_t size = 0;
    for (char c : words[2]) {
      if (c < '0' || c > '9') return targets;
      size = size * 10 + static_cast<size_t>(c - '0');
    }
    if (rest.size() < size + 1) break;
    if (words[1] == "blob" && rest.substr(0, size) == file->content)
      targets.add(file->target, file->file_name, file->content);
    rest.remove_prefix(size + 1);
  }
  return targets;
}

RequestPlan plan_request(const Settings& settings, const RequestFile& request,
                         const OriginTargets& targets, const OpenMergeRequestLookup& find_open,
                         PlanMode mode) {
  RequestPlan plan;
  if (targets.holds(request)) {
    plan.kind = PlanKind::AlreadyOnboarded;
    return plan;
  }
  const std::string& repo_dir = settings.repo_dir;
  const ChildSetup& children = settings.children;
  enter_working_copy(settings);
  if (mode == PlanMode::Run)
    logger().info("🚀 Working on branch: " + printable(request.branch) +
                  " for project: " + printable(request.request.project_name));
  // Branch names come from the request, so they are validated before any git command.
  try {
    validate_branch_name(request.branch);
    validate_branch_name(request.target);
  } catch (const OnboardingError& refusal) {
    return refused(plan, refusal.what());
  }
  // The environment must name a branch, here or on origin: a remote-tracking
  // ref, a tag or a commit would be checked out as a detached HEAD.
  if (!is_known_target(repo_dir, request.target))
    return refused(plan, "Target branch " + printable(request.target) +
                             " is not a branch of the working copy or of origin");

  // The dry run does not fetch, so it always asks origin itself.
  const OriginSync sync = mode == PlanMode::Run ? settings.origin_sync : OriginSync::PerFile;
  plan.branch.here = has_local_branch(children, request.branch);
  if (plan.branch.here) {
    // Someone else's branch is refused without asking origin.
    const std::string local_id = local_branch_id(children, request.branch);
    if (!is_commit_of_request(children, local_id, request))
      return refused(plan, already_exists(request));
    const std::string remote_id = origin_branch_id(children, request.branch, sync);
    plan.branch.on_origin = !remote_id.empty();
    if (remote_id.empty()) {
      announce_take_up(request, mode);
      plan.kind = PlanKind::TakeUp;
      plan.push = true;
      return plan;
    }
    if (remote_id != local_id) return refused(plan, already_exists(request));
    return own_branch_on_origin(plan, request, find_open, mode);
  }

  const std::string remote_id = origin_branch_id(children, request.branch, sync);
  plan.branch.on_origin = !remote_id.empty();
  if (remote_id.empty()) {
    // A new branch starts from the target as origin has it now: the run
    // pulls it first (per run: as the run's fetch found it).
    plan.target_on_origin = !origin_branch_id(children, request.target, sync).empty();
    if (!*plan.target_on_origin)
      return refused(plan, "origin has no branch " + printable(request.target) + " to pull");
    return plan;  // Onboard
  }
  if (!run_program(git({"cat-file", "-e"}).arg(remote_id), children).succeeded()) {
    if (mode == PlanMode::Check) {
      plan.kind = PlanKind::Undecided;
      plan.reason = "branch " + printable(request.branch) +
                    " is on origin only and not fetched here; a run fetches it to see whether it "
                    "holds this request";
      return plan;
    }
    // Only on origin and never fetched here: fetch just that branch to look.
    if (!run_program(git({"fetch", "--no-tags", "origin"}).arg("refs/heads/" + request.branch),
                     children)
             .succeeded())
      return refused(plan, already_exists(request));
  }
  if (!is_commit_of_request(children, remote_id, request))
    return refused(plan, already_exists(request));
  return own_branch_on_origin(plan, request, find_open, mode);
}

}  // namespace quillmere

#include "quillmere/git/branch_plan.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "quillmere/git/blob_ids.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/git/git_workspace.h"
#include "quillmere/request/onboarding_texts.h"
#include "quillmere/util/command_runner.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

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

// Tells the bytes that were compared from any others, without keeping them.
std::string fingerprint(std::string_view content) {
  return std::to_string(content.size()) + ":" +
         std::to_string(std::hash<std::string_view>{}(content));
}

std::string origin_ref(const std::string& target) { return "refs/remotes/origin/" + target; }

// The working copy's git directory; the comparison runs in the working copy.
std::string current_git_dir() {
  const std::string git_dir = find_git_dir(current_directory());
  if (git_dir.empty()) throw OnboardingError("The current directory is no git working copy");
  return git_dir;
}

// True when `blob_id` is the blob git makes of the request committed in the
// tree of `commit` (its .gitattributes and the configuration applied), or the
// request's bytes as they are.
bool is_request_as_stored(const Settings& settings, const std::string& commit,
                          const std::string& blob_id, const RequestFile& request) {
  std::string failure;
  const auto attributes = object_facts(settings.children, {commit + ":.gitattributes"}, failure);
  if (!attributes) return false;
  StoredBlobs blobs(settings.children, current_git_dir(), settings.temp_dir);
  blobs.add(request.file_name, attributes->front(), request.content);
  return blobs.stored_ids().front() == blob_id || blobs.exact_ids({0}).front() == blob_id;
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

// True when `commit` is this tool's commit for this request: one parent,
// one of the two messages for its ticket, project and environment, and a
// change to the request's file (added or modified) and to nothing else.
bool is_tool_commit(const ChildSetup& children, const std::string& commit,
                    const RequestFile& request) {
  const CommandResult object = run_program(git({"cat-file", "commit"}).arg(commit), children, true);
  if (!object.succeeded()) return false;
  const size_t body = object.out.find("\n\n");
  if (body == std::string::npos) return false;
  const std::string message = object.out.substr(body + 2);
  if (message != commit_message_for(request.request) + "\n" &&
      message != update_commit_message_for(request.request) + "\n")
    return false;
  size_t parents = 0;
  for (std::string_view line : split(std::string_view(object.out).substr(0, body), '\n'))
    parents += line.starts_with("parent ");
  if (parents != 1) return false;
  const std::string parent = commit_header(object.out, "parent");

  // ":100644 100644 OLD NEW M\0PATH\0" for exactly one changed path.
  const CommandResult changes = run_program(
      git({"diff-tree", "-r", "-z", "--no-renames"}).arg(parent).arg(commit), children, true);
  if (!changes.succeeded()) return false;
  const std::vector<std::string_view> fields = split(changes.out, '\0');
  if (fields.size() != 3 || fields[1] != request.file_name || !fields[2].empty()) return false;
  const std::vector<std::string_view> change = split(fields[0], ' ');
  return change.size() == 5 && (change[4] == "A" || change[4] == "M");
}

// The ref of the request's target: origin's as last fetched, else the local
// branch.
std::string target_ref(const std::string& repo_dir, const std::string& target_branch) {
  const std::string git_dir = find_git_dir(repo_dir);
  const std::string remote = "refs/remotes/origin/" + target_branch;
  return has_ref(git_dir, remote) ? remote : "refs/heads/" + target_branch;
}

bool has_object(const ChildSetup& children, const std::string& id) {
  return run_program(git({"cat-file", "-e"}).arg(id), children).succeeded();
}

bool is_ancestor(const ChildSetup& children, const std::string& older, const std::string& newer) {
  return run_program(git({"merge-base", "--is-ancestor"}).arg(older).arg(newer), children)
      .succeeded();
}

std::string url_of(const nlohmann::json& mr_data) {
  const auto web_url = mr_data.find("web_url");
  if (web_url == mr_data.end()) return "?";
  return printable(excerpt(web_url->is_string() ? web_url->get<std::string>() : web_url->dump()));
}

// Whether the request is what a closed merge request proposed.
enum class Proposed { Same, Different, Unknown };

struct ProposalCheck {
  Proposed answer = Proposed::Unknown;
  std::string reason;  ///< Unknown: why
};

// Compares the request with the head GitLab keeps for the merge request
// (refs/merge-requests/IID/head on origin, else its sha), fetching just that
// ref in a run when it is not here; the dry run never fetches.
ProposalCheck compare_with_proposal(const Settings& settings, const nlohmann::json& mr_data,
                                    const RequestFile& request, PlanMode mode) {
  const ChildSetup& children = settings.children;
  ProposalCheck check;
  const auto iid = mr_data.find("iid");
  if (iid == mr_data.end() || !iid->is_number_integer()) {
    check.reason = "merge request " + url_of(mr_data) + " has no iid";
    return check;
  }
  const std::string head_ref =
      "refs/merge-requests/" + std::to_string(iid->get<long long>()) + "/head";
  std::string head;
  const std::string listed =
      run_command(git({"ls-remote", "origin"}).arg(head_ref), children, true);
  for (std::string_view line : split(listed, '\n')) {
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.substr(tab + 1) == head_ref &&
        is_object_id(line.substr(0, tab)))
      head = std::string(line.substr(0, tab));
  }
  if (head.empty()) {
    const auto sha = mr_data.find("sha");
    if (sha != mr_data.end() && sha->is_string() && is_object_id(sha->get<std::string>()))
      head = sha->get<std::string>();
  }
  if (head.empty()) {
    check.reason = "origin keeps no head for merge request " + url_of(mr_data);
    return check;
  }
  if (!has_object(children, head)) {
    if (mode == PlanMode::Check) {
      check.reason = "the head of merge request " + url_of(mr_data) +
                     " is not fetched here; a run fetches it to compare";
      return check;
    }
    if (!run_program(git({"fetch", "--no-tags", "origin"}).arg(head_ref), children).succeeded() ||
        !has_object(children, head)) {
      check.reason = "the head of merge request " + url_of(mr_data) + " could not be fetched";
      return check;
    }
  }
  check.answer =
      commit_holds_request(settings, head, request) ? Proposed::Same : Proposed::Different;
  return check;
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

RequestPlan undecided_or_refused(RequestPlan plan, PlanMode mode, std::string reason) {
  if (mode == PlanMode::Run)
    return refused(std::move(plan),
                   "Cannot tell whether the request is what was proposed: " + reason);
  plan.kind = PlanKind::Undecided;
  plan.reason = std::move(reason);
  return plan;
}

// Asks one look-up into `answer`. A look-up that fails decides nothing: the
// request fails with it, in the run and in the dry run alike, rather than
// being carried out blind; false then, with `plan` refused.
bool ask(const std::function<std::optional<nlohmann::json>()>& lookup,
         std::optional<nlohmann::json>& answer, RequestPlan& plan) {
  try {
    answer = lookup();
    return true;
  } catch (const std::exception& failure) {
    plan = refused(std::move(plan), failure.what());
    return false;
  }
}

// No branch of the request's name anywhere: a new one from the target, unless
// a merge request from it was closed without merging and proposed these very
// bytes.
RequestPlan plan_without_branch(const Settings& settings, RequestPlan plan,
                                const RequestFile& request, const MergeRequestLookups& lookups,
                                PlanMode mode, OriginSync sync) {
  if (!ask(lookups.closed_if_known ? lookups.closed_if_known : lookups.closed,
           plan.closed_merge_request, plan))
    return plan;
  if (plan.closed_merge_request) {
    const ProposalCheck check =
        compare_with_proposal(settings, *plan.closed_merge_request, request, mode);
    if (check.answer == Proposed::Unknown) return undecided_or_refused(plan, mode, check.reason);
    if (check.answer == Proposed::Same) {
      plan.kind = PlanKind::Declined;
      return plan;
    }
  }
  // A new branch starts from the target as origin has it now: the run pulls
  // it first (per run: as the run's fetch found it).
  plan.target_on_origin = !origin_branch_id(settings.children, request.target, sync).empty();
  if (!*plan.target_on_origin)
    return refused(plan, "origin has no branch " + printable(request.target) + " to pull");
  return plan;  // Onboard
}

// The request's own branch at `tip`: from its merge requests and whether it
// holds the request's bytes.
RequestPlan plan_with_own_branch(const Settings& settings, RequestPlan plan,
                                 const RequestFile& request, const std::string& tip,
                                 const MergeRequestLookups& lookups, PlanMode mode) {
  const bool on_origin = plan.branch.on_origin.value_or(false);
  const bool holds_request = commit_holds_request(settings, tip, request);
  plan.branch_tip = tip;
  if (holds_request) announce_take_up(request, mode);
  if (on_origin) {
    if (!ask(lookups.open, plan.open_merge_request, plan)) return plan;
    if (plan.open_merge_request) {
      plan.kind = holds_request ? PlanKind::AlreadyOnboarded : PlanKind::Update;
      return plan;
    }
  }
  if (!ask(lookups.closed, plan.closed_merge_request, plan)) return plan;
  if (plan.closed_merge_request) {
    // What it proposed is on the branch, or, when origin no longer has the
    // branch, in the head GitLab keeps.
    ProposalCheck check{holds_request ? Proposed::Same : Proposed::Different, ""};
    if (!on_origin)
      check = compare_with_proposal(settings, *plan.closed_merge_request, request, mode);
    if (check.answer == Proposed::Unknown) return undecided_or_refused(plan, mode, check.reason);
    plan.kind = check.answer == Proposed::Same ? PlanKind::Declined : PlanKind::ProposeAgain;
    return plan;
  }
  if (!holds_request) {
    plan.kind = PlanKind::ProposeAgain;
    return plan;
  }
  plan.kind = PlanKind::TakeUp;
  plan.push = !on_origin;
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

bool is_own_branch(const ChildSetup& children, const std::string& repo_dir, const std::string& tip,
                   const RequestFile& request) {
  const std::string beyond =
      run_command(git({"rev-list"})
                      .arg("--max-count=" + std::to_string(kOwnBranchCommits + 1))
                      .arg(tip)
                      .arg("--not")
                      .arg(target_ref(repo_dir, request.target)),
                  children, true);
  std::vector<std::string_view> commits = split(beyond, '\n');
  std::erase(commits, std::string_view());
  if (commits.size() > static_cast<size_t>(kOwnBranchCommits)) return false;
  for (std::string_view commit : commits)
    if (!is_tool_commit(children, std::string(commit), request)) return false;
  // A branch the target has taken in whole (merged) is the tool's when its
  // tip is; a bare branch at someone else's commit never was.
  return !commits.empty() || is_tool_commit(children, tip, request);
}

bool commit_holds_request(const Settings& settings, const std::string& commit,
                          const RequestFile& request) {
  // One question per line: a name with a line break cannot be asked.
  if (request.file_name.find_first_of("\n\r") != std::string::npos) return false;
  std::string failure;
  const auto held = object_facts(settings.children, {commit + ":" + request.file_name}, failure);
  if (!held || held->front().type != "blob") return false;
  return is_request_as_stored(settings, commit, held->front().id, request);
}

bool OriginTargets::holds(const std::string& target, const std::string& file_name,
                          std::string_view content) const {
  const auto found = held_.find(held_key(target, file_name));
  return found != held_.end() && found->second == fingerprint(content);
}

void OriginTargets::add(const std::string& target, const std::string& file_name,
                        std::string_view content) {
  add_fingerprint(target, file_name, fingerprint(content));
}

void OriginTargets::add_fingerprint(const std::string& target, const std::string& file_name,
                                    std::string fingerprint) {
  held_[held_key(target, file_name)] = std::move(fingerprint);
}

OriginTargets compare_with_origin(const Settings& settings, const std::vector<TargetFile>& files) {
  const ChildSetup& children = settings.children;
  OriginTargets targets;
  // One question per line: a name with a line break cannot be asked, and a
  // target git would refuse as a branch is no branch of origin.
  std::vector<const TargetFile*> asked;
  std::vector<std::string> questions;
  for (const TargetFile& file : files) {
    if (file.file_name.find_first_of("\n\r") != std::string::npos ||
        branch_name_problem(file.target))
      continue;
    asked.push_back(&file);
    questions.push_back(origin_ref(file.target) + ":" + file.file_name);
  }
  if (asked.empty()) return targets;
  // Each target's .gitattributes decides what git makes of a file there.
  std::map<std::string, size_t> attributes_of;
  for (const TargetFile* file : asked)
    if (attributes_of.emplace(file->target, questions.size()).second)
      questions.push_back(origin_ref(file->target) + ":.gitattributes");

  const auto warn = [](const std::string& reason) {
    logger().warning("⚠️ Could not compare the requests with origin: " + printable(reason));
  };
  std::string failure;
  const std::optional<std::vector<ObjectFacts>> facts = object_facts(children, questions, failure);
  if (!facts) {
    warn(failure);
    return targets;
  }

  // Only a file its target has a blob for is read, one at a time, and
  // hashed; what is kept of it is its fingerprint.
  struct Compared {
    const TargetFile* file;
    std::string fingerprint;
    std::string held_id;
  };
  std::vector<Compared> compared;
  std::optional<StoredBlobs> blobs;
  std::vector<std::string> stored;
  try {
    for (size_t i = 0; i < asked.size(); ++i) {
      const ObjectFacts& held = (*facts)[i];
      if (held.type != "blob") continue;
      std::string content;
      try {
        content = read_request_file(asked[i]->path);
      } catch (const OnboardingError&) {
        continue;  // reported when its turn comes
      }
      if (!blobs) blobs.emplace(children, current_git_dir(), settings.temp_dir);
      blobs->add(asked[i]->file_name, (*facts)[attributes_of.at(asked[i]->target)], content);
      compared.push_back({asked[i], fingerprint(content), held.id});
    }
    if (compared.empty()) return targets;
    stored = blobs->stored_ids();
  } catch (const OnboardingError& error) {
    warn(error.what());
    return targets;
  }

  // A target may also hold the bytes as they are: committed before its
  // .gitattributes, which git then leaves alone.
  std::vector<size_t> differing;
  for (size_t i = 0; i < compared.size(); ++i) {
    if (stored[i] == compared[i].held_id)
      targets.add_fingerprint(compared[i].file->target, compared[i].file->file_name,
                              compared[i].fingerprint);
    else
      differing.push_back(i);
  }
  if (differing.empty()) return targets;
  const std::vector<std::string> exact = blobs->exact_ids(differing);
  for (size_t i = 0; i < differing.size(); ++i) {
    const Compared& file = compared[differing[i]];
    if (exact[i] == file.held_id)
      targets.add_fingerprint(file.file->target, file.file->file_name, file.fingerprint);
  }
  return targets;
}

RequestPlan plan_request(const Settings& settings, const RequestFile& request,
                         const OriginTargets& targets, const MergeRequestLookups& lookups,
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
  std::string tip;
  if (plan.branch.here) {
    // Someone else's branch is refused without asking origin.
    const std::string local_id = local_branch_id(children, request.branch);
    if (!is_own_branch(children, repo_dir, local_id, request))
      return refused(plan, already_exists(request));
    const std::string remote_id = origin_branch_id(children, request.branch, sync);
    plan.branch.on_origin = !remote_id.empty();
    // A local branch that only lags behind origin's gives way to it.
    if (!remote_id.empty() && remote_id != local_id &&
        !(has_object(children, remote_id) && is_ancestor(children, local_id, remote_id) &&
          is_own_branch(children, repo_dir, remote_id, request)))
      return refused(plan, already_exists(request));
    tip = remote_id.empty() ? local_id : remote_id;
  } else {
    const std::string remote_id = origin_branch_id(children, request.branch, sync);
    plan.branch.on_origin = !remote_id.empty();
    if (remote_id.empty()) return plan_without_branch(settings, plan, request, lookups, mode, sync);
    if (!has_object(children, remote_id)) {
      if (mode == PlanMode::Check) {
        plan.kind = PlanKind::Undecided;
        plan.reason = "branch " + printable(request.branch) +
                      " is on origin only and not fetched here; a run fetches it to see whether "
                      "it holds this request";
        return plan;
      }
      // Only on origin and never fetched here: fetch just that branch to look.
      if (!run_program(git({"fetch", "--no-tags", "origin"}).arg("refs/heads/" + request.branch),
                       children)
               .succeeded())
        return refused(plan, already_exists(request));
    }
    if (!is_own_branch(children, repo_dir, remote_id, request))
      return refused(plan, already_exists(request));
    tip = remote_id;
  }
  return plan_with_own_branch(settings, plan, request, tip, lookups, mode);
}

}  // namespace quillmere

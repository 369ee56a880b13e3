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

// True when `blob_id` is the blob git makes of the request committed on top
// of `parent` (its .gitattributes and the configuration applied), or the
// request's bytes as they are.
bool is_request_as_stored(const Settings& settings, const std::string& parent,
                          const std::string& blob_id, const RequestFile& request) {
  std::string failure;
  const auto attributes = object_facts(settings.children, {parent + ":.gitattributes"}, failure);
  if (!attributes) return false;
  StoredBlobs blobs(settings.children, current_git_dir(), settings.temp_dir);
  blobs.add(request.file_name, attributes->front(), request.content);
  return blobs.stored_ids().front() == blob_id || blobs.exact_ids({0}).front() == blob_id;
}

// "git branch --list NAME": non-empty when the branch exists locally.
bool has_local_branch(const ChildSetup& children, const std::string& branch_name) {
  return !run_command(git({"branch", "--list"}).arg(branch_name), children, true).empty();
}

// The object id of refs/heads/NAME on origin; empty when origin has no
// branch of exactly that name (ls-remote also lists "team/NAME").
std::string remote_branch_id(const ChildSetup& children, const std::string& branch_name) {
  const std::string remote =
      run_command(git({"ls-remote", "--heads", "origin"}).arg(branch_name), children, true);
  const std::string wanted = "refs/heads/" + branch_name;
  for (std::string_view line : split(remote, '\n')) {
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.substr(tab + 1) == wanted)
      return std::string(line.substr(0, tab));
  }
  return {};
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
// the documented message. The blob is compared by its id, as git stores the
// request (line endings normalised where the branch says so).
bool is_commit_of_request(const Settings& settings, const std::string& tip,
                          const RequestFile& request) {
  const ChildSetup& children = settings.children;
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
  if (!is_request_as_stored(settings, parent, std::string(change[3]), request)) return false;

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

bool check_branch_exists(const ChildSetup& children, const std::string& branch_name) {
  // A name git would read as a pattern or an option must never reach it.
  validate_branch_name(branch_name);
  if (has_local_branch(children, branch_name)) return true;
  return !remote_branch_id(children, branch_name).empty();
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

  plan.branch.here = has_local_branch(children, request.branch);
  if (plan.branch.here) {
    // Someone else's branch is refused without asking origin.
    const std::string local_id = local_branch_id(children, request.branch);
    if (!is_commit_of_request(settings, local_id, request))
      return refused(plan, already_exists(request));
    const std::string remote_id = remote_branch_id(children, request.branch);
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

  const std::string remote_id = remote_branch_id(children, request.branch);
  plan.branch.on_origin = !remote_id.empty();
  if (remote_id.empty()) {
    // A new branch starts from the target as origin has it now: the run
    // pulls it first.
    plan.target_on_origin = !remote_branch_id(children, request.target).empty();
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
  if (!is_commit_of_request(settings, remote_id, request))
    return refused(plan, already_exists(request));
  return own_branch_on_origin(plan, request, find_open, mode);
}

}  // namespace quillmere

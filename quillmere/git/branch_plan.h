// Branch names and the plan for one request: what origin's target branch
// already holds, whether the request's branch exists and whose it is, and
// from that the one decision a run carries out and the dry run prints.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/config/settings.h"
#include "quillmere/request/request_file.h"

namespace quillmere {

/// Throws OnboardingError "Invalid branch name: NAME (reason)" when git would
/// refuse `branch_name` (the rules of "git check-ref-format --branch") or read
/// it as a pattern or an option; "@" and "HEAD" are refused as well.
void validate_branch_name(const std::string& branch_name);

/// True when `branch_name` exists locally or, as exactly refs/heads/NAME, on
/// origin (asked only when it is not local). The name is validated first.
bool check_branch_exists(const ChildSetup& children, const std::string& branch_name);

/// One request as the comparison needs it: its bytes stay in the file until
/// the comparison reads them, one file at a time.
struct TargetFile {
  std::string target;
  std::string file_name;
  std::string path;  ///< read with the request file rules
};

/// Which requests origin's target branches already hold at the file's name,
/// as git stores them, as origin was last fetched. Built by
/// compare_with_origin; it keeps no content, only which bytes were compared.
class OriginTargets {
 public:
  /// True when refs/remotes/origin/TARGET was found to hold FILE as git
  /// stores `content` there, and `content` is what was compared.
  bool holds(const std::string& target, const std::string& file_name,
             std::string_view content) const;
  bool holds(const RequestFile& request) const {
    return holds(request.target, request.file_name, request.content);
  }

  /// Records that the target holds `content` at `file_name`.
  void add(const std::string& target, const std::string& file_name, std::string_view content);

 private:
  friend OriginTargets compare_with_origin(const Settings& settings,
                                           const std::vector<TargetFile>& files);
  void add_fingerprint(const std::string& target, const std::string& file_name,
                       std::string fingerprint);

  std::map<std::string, std::string> held_;  ///< "TARGET:FILE" → fingerprint of the bytes
};

/// Asks git which of `files` origin's targets hold as git would store them
/// there (each target's .gitattributes and core.autocrlf applied), or as
/// they are byte for byte: one "git cat-file --batch-check" for every
/// "refs/remotes/origin/TARGET:FILE" and each target's .gitattributes; then
/// only the files a target has a blob for are read, one at a time, and
/// hashed (see StoredBlobs) in a scratch directory in TMPDIR. Run in the
/// working copy. A file whose name or
/// target cannot be asked for safely, or that cannot be read, is left out
/// (it goes the ordinary road); a failing git makes every file go the
/// ordinary road.
OriginTargets compare_with_origin(const Settings& settings, const std::vector<TargetFile>& files);

/// What becomes of one request.
enum class PlanKind {
  Onboard,           ///< a new branch, committed and pushed, then a merge request
  TakeUp,            ///< this request's own branch from an earlier run: a merge request for it
  AlreadyOnboarded,  ///< the target holds the file, or the branch has its open merge request
  Refuse,            ///< the request fails with `reason`
  Undecided,         ///< (dry run only) a run must fetch the branch to decide
};

/// What the plan learnt about the request's branch; on_origin is absent when
/// origin was not asked.
struct BranchFacts {
  bool here = false;
  std::optional<bool> on_origin;
};

struct RequestPlan {
  PlanKind kind = PlanKind::Onboard;
  bool push = false;  ///< TakeUp: the branch is only local and is pushed first
  /// AlreadyOnboarded: the branch's open merge request; absent when the
  /// target already holds the file.
  std::optional<nlohmann::json> open_merge_request;
  std::string reason;  ///< Refuse, Undecided: why
  BranchFacts branch;
  /// Onboard (and its refusal): whether origin has the target branch the
  /// new branch starts from; absent when origin was not asked.
  std::optional<bool> target_on_origin;
};

/// The open merge request from the request's branch into its target, or
/// nullopt; asked only for a branch of the request's own that is on origin.
/// A look-up that throws refuses the request with the failure's text.
using OpenMergeRequestLookup = std::function<std::optional<nlohmann::json>()>;

/// A run logs where it works and may fetch a branch only on origin to look
/// at it; the dry run does neither.
enum class PlanMode { Run, Check };

/// Decides, in the working copy (settings.repo_dir, made the current
/// directory first), what becomes of `request`:
/// already onboarded when `targets` holds it (no git command at all);
/// otherwise from one look at the branch: the local listing first, origin
/// only when the branch is not local or when the local branch is this
/// tool's own commit of the request and the plan must know whether to push.
/// A new branch needs its target on origin ("origin has no branch TARGET to
/// pull" otherwise). The run and the dry run get the same verdict; only the
/// run logs, and only the run fetches a branch to look at it. Throws only
/// when git itself fails (the runner's OnboardingError).
RequestPlan plan_request(const Settings& settings, const RequestFile& request,
                         const OriginTargets& targets, const OpenMergeRequestLookup& find_open,
                         PlanMode mode);

}  // namespace quillmere

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
/// origin (only when it is not local: asked of origin, or with PerRun as the
/// run's fetch found it). The name is validated first.
bool check_branch_exists(const ChildSetup& children, const std::string& branch_name,
                         OriginSync sync = OriginSync::PerFile);

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
  Onboard,           ///< a new branch from the target, committed and pushed, then a merge request
  TakeUp,            ///< this request's own branch from an earlier run: a merge request for it
  Update,            ///< its merge request is open, the request was edited: a commit on the branch
  ProposeAgain,      ///< its own branch, without an open merge request, gets a commit with the
                     ///< edited request, then a new merge request
  AlreadyOnboarded,  ///< the target holds the file, or the branch has its open merge request
  Declined,          ///< its merge request was closed without merging, and it is still the same
  Refuse,            ///< the request fails with `reason`
  Undecided,         ///< (dry run only) a run must fetch to decide
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
  /// Update, ProposeAgain: the commit the new one goes on top of.
  std::string branch_tip;
  /// AlreadyOnboarded: the branch's open merge request (absent when the
  /// target already holds the file); Update: the one that is updated.
  std::optional<nlohmann::json> open_merge_request;
  /// Declined: the merge request closed without merging; Onboard and
  /// ProposeAgain: the one closed before this request was edited.
  std::optional<nlohmann::json> closed_merge_request;
  std::string reason;  ///< Refuse, Undecided: why
  BranchFacts branch;
  /// Onboard (and its refusal): whether origin has the target branch the
  /// new branch starts from; absent when origin was not asked.
  std::optional<bool> target_on_origin;
};

/// What the plan may ask GitLab about the request's branch: its open merge
/// request, and the newest one closed without merging (into the request's
/// target). Each is asked at most once, and only when the plan needs it; a
/// look-up that throws refuses the request with the failure's text.
struct MergeRequestLookups {
  std::function<std::optional<nlohmann::json>()> open;
  std::function<std::optional<nlohmann::json>()> closed;
  /// `closed` for a branch that exists nowhere: only as far as the run
  /// already knows it, never a question of its own (such a request was
  /// always simply onboarded). Empty: `closed` is asked.
  std::function<std::optional<nlohmann::json>()> closed_if_known;
};

/// A run logs where it works and may fetch what it must look at (a branch
/// only on origin, a closed merge request's head); the dry run does neither.
enum class PlanMode { Run, Check };

/// Commits on a branch beyond its target that are looked at; a branch with
/// more is nobody's the tool would touch.
inline constexpr int kOwnBranchCommits = 50;

/// True when the branch at `tip` is this request's own: every commit on it
/// that the target (origin's, else the local one) does not have was made by
/// this tool for this request: one parent, one of the two messages for its
/// ticket, project and environment, and a change to the request's file name
/// in the root and nothing else. A branch without such commits (the target
/// has them all) is the tool's only when its tip is such a commit. Run in the
/// working copy.
bool is_own_branch(const ChildSetup& children, const std::string& repo_dir, const std::string& tip,
                   const RequestFile& request);

/// True when `commit` holds the request file, under its name in the root,
/// as git would store the request there: its blob id is that of the
/// request's bytes after the commit's .gitattributes and the configuration
/// (core.autocrlf, filters) have had their say, or of the bytes as they are.
/// Compared by blob id, without reading the blob (see StoredBlobs).
bool commit_holds_request(const Settings& settings, const std::string& commit,
                          const RequestFile& request);

/// Decides, in the working copy (settings.repo_dir, made the current
/// directory first), what becomes of `request`:
/// already onboarded when `targets` holds it (no git command at all);
/// otherwise from one look at the branch: the local listing first, origin
/// only when the branch is not local or is this request's own; then from its
/// merge requests (`lookups`) and whether the branch, or what a closed merge
/// request proposed (refs/merge-requests/IID/head), holds the request's bytes.
/// A new branch needs its target on origin ("origin has no branch TARGET to
/// pull" otherwise). The run and the dry run get the same verdict; only the
/// run logs, and only the run fetches what it must look at. A run with
/// ORIGIN_SYNC=per-run reads origin's branches (the request's and the
/// target) from the run's fetch, refs/remotes/origin/NAME, instead of asking
/// origin; the dry run always asks origin, since it does not fetch. Throws
/// only when git itself fails (the runner's OnboardingError).
RequestPlan plan_request(const Settings& settings, const RequestFile& request,
                         const OriginTargets& targets, const MergeRequestLookups& lookups,
                         PlanMode mode);

}  // namespace quillmere

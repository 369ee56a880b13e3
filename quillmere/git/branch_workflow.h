// The branch-and-commit workflow for one request: a new branch from the
// target with the request file committed and pushed, or the request's own
// branch from an earlier run taken up. What to do is the plan's decision
// (branch_plan.h); this only carries it out.
#pragma once

#include "quillmere/config/settings.h"
#include "quillmere/request/request_file.h"

namespace quillmere {

/// Puts the request file on a new branch of the working copy and pushes it:
/// identity, clean-up and stash, then checkout of the target, pull, new
/// branch, the request's bytes written, commit and push; a failure deletes the
/// half-made branch, and stashed changes are restored either way. Exactly
/// `request.content` is committed. Works in `settings.repo_dir`. With
/// ORIGIN_SYNC=per-run the pull is a fast-forward to refs/remotes/origin/TARGET
/// as the run's fetch left it, so the push is the only command that reaches
/// origin; the push then only creates the branch
/// ("--force-with-lease=refs/heads/BRANCH:"): one pushed by someone else
/// since the fetch makes it fail.
void create_branch_and_commit(const Settings& settings, const RequestFile& request);

/// Pushes the request's own branch from an earlier run that never reached
/// origin, so that it can be taken up.
void push_taken_up_branch(const ChildSetup& children, const RequestFile& request, OriginSync sync);

/// Puts the edited request on the request's own branch: identity, clean-up
/// and stash, then the branch at `tip`, the request's bytes written, one
/// commit with the update message ("TICKET: update PROJECT for ENV
/// environment") and a push, which git allows only as a fast-forward (it is
/// never forced). With ORIGIN_SYNC=per-run the push leases the branch where
/// the run's fetch found it ("--force-with-lease=refs/heads/BRANCH:TIP" when
/// `tip_on_origin`, else create-only), so a branch moved since fails it. A
/// failure deletes the local branch again (origin keeps what it had); stashed
/// changes are restored either way. Works in `settings.repo_dir`.
void commit_on_own_branch(const Settings& settings, const RequestFile& request,
                          const std::string& tip, bool tip_on_origin);

}  // namespace quillmere

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
/// `request.content` is committed. Works in `settings.repo_dir`.
void create_branch_and_commit(const Settings& settings, const RequestFile& request);

/// Pushes the request's own branch from an earlier run that never reached
/// origin, so that it can be taken up.
void push_taken_up_branch(const ChildSetup& children, const RequestFile& request);

}  // namespace quillmere

// --check: what a run would do, found out without changing anything. The
// dry run examines the configured run end to end with read-only git
// commands and GET requests; the lint only parses the files it is given.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "quillmere/config/settings.h"
#include "quillmere/remote/gitlab_client.h"

namespace quillmere {

/// The dry run: the settings and the working copy as a run checks them, a
/// block per request file (its request, branch and target, and what a run
/// would do with it), the GitLab token, project and reviewers, and whether
/// a Teams webhook is set. Writes nothing but the report on `out`: no file,
/// no ref, no log, no POST. True when every request file would be onboarded
/// and every check passed.
bool check_run(const Settings& settings, RemoteContext& remote, std::ostream& out);

/// The lint: a block per named file, parsed as a run would parse it, with
/// no settings, no git and no network. True when no file would be refused.
bool lint_request_files(const std::vector<std::string>& paths, std::ostream& out);

}  // namespace quillmere

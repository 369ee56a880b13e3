// The one check a run and the dry run make before they touch the working
// copy or a request file: the settings as read, and where their paths lead.
#pragma once

#include "quillmere/config/settings.h"

namespace quillmere {

/// Refuses, with OnboardingError carrying the first problem, settings a run
/// cannot start with, checked in this order: no GITLAB_TOKEN ("❌ GITLAB_TOKEN
/// not set"), a value that cannot be read, the required settings that are
/// missing (all named at once), REPO_PATH or YAML_DIR that do not exist, a CA
/// file that is not a readable certificate file, a YAML_DIR that is the
/// working copy or lies in its git directory, a DONE_DIR where files would
/// come back or land in the repository. Logs nothing and changes nothing.
void check_startup(const Settings& settings);

}  // namespace quillmere

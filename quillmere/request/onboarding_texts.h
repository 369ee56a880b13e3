// The texts an onboarding leaves behind in git, GitLab and Teams, where more
// than one of them needs the same words.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillmere/request/onboarding_request.h"

namespace quillmere {

/// The labels every onboarding merge request carries, in order.
const std::vector<std::string>& mr_labels();

/// "JIRA_BASE_URL/TICKET" when the base is set and not empty, else the bare ticket.
std::string jira_link(const std::optional<std::string>& jira_base_url, const std::string& ticket);

/// "ENV-TICKET-PROJECT": the branch that carries one request.
std::string branch_name_for(const OnboardingRequest& request);

/// "TICKET: onboard PROJECT to ENV environment".
std::string commit_message_for(const OnboardingRequest& request);

/// "TICKET: update PROJECT for ENV environment": the commit that puts an
/// edited request on the branch that already carries it.
std::string update_commit_message_for(const OnboardingRequest& request);

/// "TICKET: Onboard PROJECT to TARGET".
std::string mr_title(const std::string& ticket, const std::string& project_name,
                     const std::string& target_branch);

/// The markdown description of an onboarding merge request.
std::string build_mr_description(const std::string& project_name, const std::string& target_branch,
                                 const std::string& jira_link, const std::string& mentions);

}  // namespace quillmere

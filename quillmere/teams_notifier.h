// Announcing a new merge request in a Teams channel.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "quillmere/http_client.h"
#include "quillmere/settings.h"
#include "quillmere/teams_card.h"

namespace quillmere {

/// The card for a merge request: title, activity, eleven facts, details and
/// the two buttons. Never fails on odd `mr_data`: a member that is missing,
/// null or of an unusable kind takes its fallback; numbers are shown as
/// written in JSON. Reads the Jira base, the committer name and the
/// reviewers from `settings`.
TeamsCard merge_request_card(const Settings& settings, const nlohmann::json& mr_data,
                             const std::string& ticket, const std::string& env,
                             const std::string& branch_name, const std::string& target_branch,
                             const std::string& project_name);

/// merge_request_card() as a MessageCard, members in their documented order.
nlohmann::ordered_json build_teams_card(const Settings& settings, const nlohmann::json& mr_data,
                                        const std::string& ticket,
                                        const std::string& env, const std::string& branch_name,
                                        const std::string& target_branch,
                                        const std::string& project_name);

/// Posts the card to the webhook of `settings` in the form it takes (see
/// post_teams_card). A missing webhook or a failed delivery is logged at
/// WARNING and never fails the caller; the token and the webhook never
/// appear in that warning.
void send_mr_notification_to_teams(HttpClient& http, const Settings& settings,
                                   const nlohmann::json& mr_data,
                                   const std::string& ticket, const std::string& env,
                                   const std::string& branch_name, const std::string& target_branch,
                                   const std::string& project_name);

}  // namespace quillmere

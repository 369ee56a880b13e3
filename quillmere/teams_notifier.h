// Announcing a new merge request in a Teams channel with a MessageCard.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/http_client.h"
#include "quillmere/settings.h"

namespace quillmere {

/// The MessageCard for a merge request, members in their documented order.
/// Never fails on odd `mr_data`: a member that is missing, null or of an
/// unusable kind takes its fallback; numbers are shown as written in JSON.
/// Reads the Jira base, the committer name and the reviewers from `settings`.
nlohmann::ordered_json build_teams_card(const Settings& settings, const nlohmann::json& mr_data,
                                        const std::string& ticket,
                                        const std::string& env, const std::string& branch_name,
                                        const std::string& target_branch,
                                        const std::string& project_name);

/// One line of a card: a name and its value.
using CardFact = std::pair<std::string, std::string>;

/// The MessageCard that tells a channel a run went wrong: `title`, and one
/// fact per entry of `facts`, shown as plain text.
nlohmann::ordered_json build_failure_card(const std::string& title,
                                          const std::vector<CardFact>& facts);

/// What became of a card that was due.
enum class TeamsDelivery {
  Sent,
  Failed,
  Skipped,  ///< no webhook is set
};

/// "sent", "failed", "skipped".
const char* teams_delivery_name(TeamsDelivery delivery);

/// Posts the card to the webhook of `settings`. A missing webhook or a failed
/// delivery (a status from 400 to 599, or a 200 whose body reports a failed
/// delivery) is logged at WARNING and never fails the caller; the token and
/// the webhook never appear in that warning.
TeamsDelivery send_mr_notification_to_teams(HttpClient& http, const Settings& settings,
                                   const nlohmann::json& mr_data,
                                   const std::string& ticket, const std::string& env,
                                   const std::string& branch_name, const std::string& target_branch,
                                   const std::string& project_name);

/// Posts the failure card once to the webhook of `settings` (which must be
/// set), like the merge request's card. Logs "📣 Teams failure summary sent",
/// or at WARNING "Teams notification failed: …", and never fails the caller.
TeamsDelivery send_failure_summary_to_teams(HttpClient& http, const Settings& settings,
                                            const std::string& title,
                                            const std::vector<CardFact>& facts);

}  // namespace quillmere

// Announcing a new merge request in a Teams channel.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillmere/config/settings.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/teams_card.h"
#include "quillmere/request/request_file.h"

namespace quillmere {

/// What a merge request's card announces: a new merge request, or a new
/// version of the request on an open one (its own title and status).
enum class MergeRequestNews { Opened, Updated };

/// The card for a merge request: title, activity, eleven facts, details and
/// the two buttons, for the merge request of `request`. Never fails on odd `mr_data`: a member that
/// is missing, null or of an unusable kind takes its fallback; numbers are shown as written in
/// JSON. Reads the Jira base, the committer name and the reviewers from `settings`.
TeamsCard merge_request_card(const Settings& settings, const nlohmann::json& mr_data,
                             const RequestFile& request,
                             MergeRequestNews news = MergeRequestNews::Opened);

/// merge_request_card() as a MessageCard, members in their documented order.
nlohmann::ordered_json build_teams_card(const Settings& settings, const nlohmann::json& mr_data,
                                        const RequestFile& request);

/// One line of a card: a name and its value.
using CardFact = std::pair<std::string, std::string>;

/// The card that tells a channel a run went wrong: `title`, and one fact per
/// entry of `facts`, all card markdown (see card_text()).
TeamsCard failure_summary_card(const std::string& title, const std::vector<CardFact>& facts);

/// What became of a card that was due.
enum class TeamsDelivery {
  Sent,
  Failed,
  Skipped,  ///< no webhook is set
};

/// "sent", "failed", "skipped".
const char* teams_delivery_name(TeamsDelivery delivery);

/// Posts the card to the webhook of `settings` in the form it takes (see
/// post_teams_card). A missing webhook or a failed delivery is logged at
/// WARNING and never fails the caller; the token and the webhook never
/// appear in that warning.
TeamsDelivery send_mr_notification_to_teams(HttpClient& http, const Settings& settings,
                                            const nlohmann::json& mr_data,
                                            const RequestFile& request,
                                            MergeRequestNews news = MergeRequestNews::Opened);

/// Posts failure_summary_card() like the merge-request card; logs
/// "📣 Teams failure summary sent" or the failure at WARNING.
TeamsDelivery send_failure_summary_to_teams(HttpClient& http, const Settings& settings,
                                            const std::string& title,
                                            const std::vector<CardFact>& facts);

}  // namespace quillmere

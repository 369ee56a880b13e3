// Posting a card to the Teams webhook: which form the webhook gets (as
// TEAMS_CARD_FORMAT says), what its answer means, and which parts of its URL
// are secret.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/config/settings.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/retry.h"
#include "quillmere/remote/teams_card.h"

namespace quillmere {

/// A URL whose path holds /workflows/<id>/triggers/<name>/paths/invoke: a
/// Workflows (Power Automate) webhook, on any host and port.
bool is_workflows_webhook(std::string_view url);

/// A URL of the Office 365 connector webhooks, which were retired: host
/// outlook.office.com, outlook.office365.com or *.webhook.office.com.
bool is_retired_connector_webhook(std::string_view url);

/// The warning for a retired connector URL (it never shows the URL).
inline constexpr const char* kRetiredWebhookWarning =
    "⚠️ TEAMS_WEBHOOK_URL is an Office 365 connector webhook; Microsoft retired those in May "
    "2026: make a Workflows webhook and use its URL";

/// Whether the webhook of `settings` gets the Adaptive Card.
bool sends_adaptive_card(const Settings& settings);

/// What a run would send, for --check: "Adaptive Card 1.4 (Workflows
/// webhook)", "Adaptive Card 1.4" or "MessageCard".
std::string teams_card_kind(const Settings& settings);

/// The parts of a webhook URL that must never be shown, longest first: the
/// URL, its path with the query, its path alone and its `sig` value.
std::vector<std::string> teams_webhook_secrets(std::string_view url);

/// Posts `card` to the webhook of `settings` (which must be set) in the form
/// the settings choose, and judges the answer: 2xx is delivered; 3xx, 4xx and
/// 5xx are failures, told by their status and a JSON error's code and message;
/// a MessageCard's 200 that reports a failed delivery is one too. A 429 is
/// posted once more after its Retry-After (at most 60 seconds, 1 when absent
/// or unreadable). Returns the failure, already safe to show (printable,
/// secrets masked), or nullopt when the card was delivered.
std::optional<std::string> post_teams_card(HttpClient& http, const Settings& settings,
                                           const TeamsCard& card,
                                           const SleepFunction& sleep = sleep_seconds);

}  // namespace quillmere

// TEAMS_NOTIFY_FAILURES: the card that tells a channel a run went wrong,
// drawn from what the run recorded.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillmere/app/run_record.h"
#include "quillmere/config/settings.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/teams_notifier.h"

namespace quillmere {

/// Failed files a card lists by name; the rest are counted.
inline constexpr size_t kFailureCardFiles = 20;
/// Characters of an error a card shows, the closing "…" included.
inline constexpr size_t kFailureCardErrorLength = 200;

/// The failure card's title and facts: one fact per failed file, then one
/// per declined file ("🚫 FILE": "declined: URL was closed without
/// merging"); nullopt when the run calls for none (no file failed, or
/// another run's lock refused it, which is no failure).
struct FailureCardContent {
  std::string title;
  std::vector<CardFact> facts;
};
std::optional<FailureCardContent> failure_card_content(const RunRecord& record);

/// Sends the failure card when TEAMS_NOTIFY_FAILURES is on, a webhook is set
/// and the run calls for one.
void notify_run_failures(HttpClient& http, const Settings& settings, const RunRecord& record);

}  // namespace quillmere

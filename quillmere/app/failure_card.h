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

/// "declined: URL was closed without merging", a declined file's fact.
std::string declined_text(const FileResult& result);

/// Where the run ran, for a channel that hears from several hosts and
/// repositories.
struct RunPlace {
  std::string host;
  std::string project;  ///< PROJECT_ID
  std::string origin;   ///< origin's URL without credentials; empty when unknown
};

/// This host and the working copy of `settings`.
RunPlace run_place(const Settings& settings);

/// The failure card's title and facts: one fact per failed file (or none,
/// after a fatal error), then one per declined file ("🚫 FILE": "declined:
/// URL was closed without merging"), then "Host", "GitLab project" and
/// "Origin"; nullopt when the run calls for none (no file failed, or another
/// run's lock refused it, which is no failure).
struct FailureCardContent {
  std::string title;
  std::vector<CardFact> facts;
};
std::optional<FailureCardContent> failure_card_content(const RunRecord& record,
                                                       const RunPlace& place);

/// Sends the failure card when TEAMS_NOTIFY_FAILURES is on, a webhook is set
/// and the run calls for one: always after a fatal error, and after failed
/// files when they or their errors differ from those of the last card sent
/// (FailureCardMemory); a repeat is logged instead of sent.
void notify_run_failures(HttpClient& http, const Settings& settings, const RunRecord& record);

}  // namespace quillmere

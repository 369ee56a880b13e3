#include "quillmere/app/failure_card.h"

#include <algorithm>

#include "quillmere/remote/teams_card.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// At most `limit` characters (not bytes: a UTF-8 character is never split),
// the last one "…" when anything was cut.
std::string cut_to_characters(const std::string& text, size_t limit) {
  size_t pos = 0;
  size_t cut = 0;  // where the "…" goes when the text is too long
  for (size_t characters = 0; pos < text.size(); ++characters) {
    if (characters == limit) return text.substr(0, cut) + "…";
    if (characters + 1 == limit) cut = pos;
    char32_t ignored = 0;
    pos += std::max<size_t>(decode_utf8(text, pos, ignored), 1);
  }
  return text;
}

}  // namespace

std::optional<FailureCardContent> failure_card_content(const RunRecord& record) {
  // File names and errors come from outside: masked and shown as written.
  if (record.status == RunStatus::Fatal)
    return FailureCardContent{"❌ Onboarding run stopped: " + card_text(*record.fatal_error), {}};
  if (record.failed() == 0) return std::nullopt;

  FailureCardContent content;
  content.title = "⚠️ Onboarding run: " + std::to_string(record.failed()) + " of " +
                  std::to_string(record.files().size()) + " request file(s) failed";
  for (const FileResult& result : record.files()) {
    if (result.outcome != FileOutcome::Failed) continue;
    if (content.facts.size() == kFailureCardFiles) {
      const size_t more = static_cast<size_t>(record.failed()) - kFailureCardFiles;
      content.facts.emplace_back("… and " + std::to_string(more) + " more", "");
      break;
    }
    content.facts.emplace_back(
        card_text(result.file),
        escape_markdown(cut_to_characters(printable(logger().shown(result.error.value_or(""))),
                                          kFailureCardErrorLength)));
  }
  return content;
}

void notify_run_failures(HttpClient& http, const Settings& settings, const RunRecord& record) {
  if (!settings.teams_notify_failures || is_missing(settings.teams_webhook_url)) return;
  if (const std::optional<FailureCardContent> content = failure_card_content(record))
    send_failure_summary_to_teams(http, settings, content->title, content->facts);
}

}  // namespace quillmere

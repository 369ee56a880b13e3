#include "quillmere/app/failure_card.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "quillmere/app/failure_card_memory.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/git/git_workspace.h"
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

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

void add_place(std::vector<CardFact>& facts, const RunPlace& place) {
  facts.emplace_back("Host", card_text(place.host));
  facts.emplace_back("GitLab project", card_text(place.project));
  facts.emplace_back("Origin", place.origin.empty() ? "unknown" : card_text(place.origin));
}

}  // namespace

std::string declined_text(const FileResult& result) {
  return "declined: " + (result.merge_request ? card_text(result.merge_request->web_url) : "?") +
         " was closed without merging";
}

RunPlace run_place(const Settings& settings) {
  return {host_name(), settings.project_id.value_or(""), origin_url(settings)};
}

std::optional<FailureCardContent> failure_card_content(const RunRecord& record,
                                                       const RunPlace& place) {
  // File names, errors and places come from outside: masked and shown as
  // written.
  if (record.status == RunStatus::Fatal) {
    FailureCardContent content{"❌ Onboarding run stopped: " + card_text(*record.fatal_error), {}};
    add_place(content.facts, place);
    return content;
  }
  if (record.failed() == 0) return std::nullopt;

  FailureCardContent content;
  content.title = "⚠️ Onboarding run: " + std::to_string(record.failed()) + " of " +
                  std::to_string(record.files().size()) + " request file(s) failed";
  // The failed files first, then the declined ones, a kind of their own:
  // no failure, but files that stay in YAML_DIR until someone acts.
  const int listed_total = record.failed() + record.count(FileOutcome::Declined);
  const auto add_files = [&] {
    for (const FileOutcome kind : {FileOutcome::Failed, FileOutcome::Declined}) {
      for (const FileResult& result : record.files()) {
        if (result.outcome != kind) continue;
        if (content.facts.size() == kFailureCardFiles) {
          const size_t more = static_cast<size_t>(listed_total) - kFailureCardFiles;
          content.facts.emplace_back("… and " + std::to_string(more) + " more", "");
          return;
        }
        const std::string name = card_text(result.file);
        if (kind == FileOutcome::Failed)
          content.facts.emplace_back(name, escape_markdown(cut_to_characters(
                                               printable(logger().shown(result.error.value_or(""))),
                                               kFailureCardErrorLength)));
        else
          content.facts.emplace_back("🚫 " + name, declined_text(result));
      }
    }
  };
  add_files();
  add_place(content.facts, place);
  return content;
}

void notify_run_failures(HttpClient& http, const Settings& settings, const RunRecord& record) {
  if (!settings.teams_notify_failures || is_missing(settings.teams_webhook_url)) return;
  const FailureCardMemory memory(settings.repo_dir.empty() ? std::string()
                                                           : find_git_dir(settings.repo_dir));
  const bool fatal = record.status == RunStatus::Fatal;
  if (!fatal && record.failed() == 0) {
    // A clean batch: the files that failed before are fixed, and the next
    // failure is news. A stop may not have reached them: it tells nothing.
    if (record.status == RunStatus::Completed) memory.forget();
    return;
  }
  const std::string fingerprint = failure_fingerprint(record);
  if (!fatal && memory.repeats(fingerprint)) {
    logger().info(
        "📣 Teams failure summary not sent again: the same request file(s) failed with the same "
        "errors as in the last one");
    return;
  }
  const std::optional<FailureCardContent> content =
      failure_card_content(record, run_place(settings));
  if (!content) return;
  const TeamsDelivery delivery =
      send_failure_summary_to_teams(http, settings, content->title, content->facts);
  if (fatal)
    memory.forget();
  else if (delivery == TeamsDelivery::Sent)
    memory.remember(fingerprint);
}

}  // namespace quillmere

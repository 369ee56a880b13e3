#include "quillmere/remote/teams_notifier.h"

#include <algorithm>
#include <vector>

#include "quillmere/remote/teams_webhook.h"
#include "quillmere/request/onboarding_texts.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr const char* kGitLabLogo =
    "https://about.gitlab.com/images/press/logo/png/gitlab-icon-rgb.png";

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

// A member as card text: strings as they are, numbers and booleans as JSON
// writes them; missing, null, objects and arrays take the fallback.
std::string text_of(const nlohmann::json* value, const std::string& fallback) {
  if (!value || value->is_null() || value->is_structured()) return fallback;
  if (value->is_string()) return value->get<std::string>();
  return value->dump();
}

// The first 19 characters of an ISO time ("2024-05-01T12:34:56"), with "T"
// shown as a blank. Characters, not bytes: a multi-byte UTF-8 character
// counts once and is never split.
std::string created_at_text(const nlohmann::json* value) {
  if (!value || !value->is_string()) return "";
  std::string text = value->get<std::string>();
  size_t cut = 0;
  for (int characters = 0; cut < text.size() && characters < 19; ++characters) {
    ++cut;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
  }
  text.resize(cut);
  std::replace(text.begin(), text.end(), 'T', ' ');
  return text;
}

std::string author_text(const nlohmann::json& mr_data,
                        const std::optional<std::string>& committer) {
  const nlohmann::json* author = member(mr_data, "author");
  const nlohmann::json* name = author ? member(*author, "name") : nullptr;
  if (name && (name->is_string() || name->is_number())) return text_of(name, "");
  return committer && !committer->empty() ? *committer : "N/A";
}

}  // namespace

TeamsCard merge_request_card(const Settings& settings, const nlohmann::json& mr_data,
                             const RequestFile& request, MergeRequestNews news) {
  const bool updated = news == MergeRequestNews::Updated;
  const std::string& ticket = request.request.ticket;
  const std::string& env = request.request.environment;
  const std::string& project_name = request.request.project_name;
  // Every text from outside (the request, GitLab's answer, the settings) is
  // masked as the log masks it and shown as written, never as markdown; a
  // link is kept only when it is an http(s) URL.
  const std::string mr_url = card_link(text_of(member(mr_data, "web_url"), ""));
  const std::string mr_id = card_text(text_of(member(mr_data, "iid"), "N/A"));
  const std::string mr_title = card_text(text_of(member(mr_data, "title"), "N/A"));
  const std::string created_at = card_text(created_at_text(member(mr_data, "created_at")));
  const std::string author = card_text(author_text(mr_data, settings.git_committer_name));
  const std::string link = card_link(jira_link(settings.jira_base_url, ticket));
  const std::vector<std::string>& reviewers = settings.reviewer_usernames;
  const std::string reviewers_display =
      reviewers.empty() ? "None" : card_text(join(reviewers, ", "));
  const std::string project = card_text(project_name);
  const std::string shown_ticket = card_text(ticket);
  const std::string env_upper = card_text(ascii_upper(env));

  TeamsCard card;
  // The notification's plain text: masked, but no markdown to escape.
  card.summary = logger().shown("New MR: " + project_name + " onboarding to " + env);
  card.title =
      (updated ? "✏️ Project Onboarding updated: " : "🚀 Project Onboarding: ") + project;
  card.activity_title = "📋 **" + mr_title + "**";
  card.activity_subtitle =
      "Project **" + project + "** is being onboarded to **" + env_upper + "** environment";
  card.activity_image = kGitLabLogo;
  card.facts = {
      {"🎯 Project:", "**" + project + "**"},
      {"🎫 Jira Ticket:", link.empty() ? shown_ticket : "[" + shown_ticket + "](" + link + ")"},
      {"🔢 MR ID:", "!" + mr_id},
      {"🌿 Source Branch:", card_text(request.branch)},
      {"🎯 Target Branch:", card_text(request.target)},
      {"🌍 Environment:", env_upper},
      {"👤 Author:", author},
      {"👥 Reviewers:", reviewers_display},
      {"🏷️ Labels:", join(mr_labels(), ", ")},
      {"📅 Created At:", created_at},
      {"📌 Status:",
       updated ? "🟡 Open — Updated, awaiting review" : "🟡 Open — Awaiting Review"},
  };
  card.details_title = "📝 What's Being Onboarded?";
  card.details_text = "\n**Project Configuration for " + project +
                      "**\n- Environment: " + env_upper +
                      "\n- Configuration file has been added to the repository\n"
                      "- Ready for review and validation\n" +
                      std::string(16, ' ');
  if (!mr_url.empty()) card.buttons.push_back({"🔍 View Merge Request", mr_url});
  if (!link.empty()) card.buttons.push_back({"🎫 View Jira Ticket", link});
  return card;
}

ordered_json build_teams_card(const Settings& settings, const nlohmann::json& mr_data,
                              const RequestFile& request) {
  return message_card(merge_request_card(settings, mr_data, request));
}

TeamsDelivery send_mr_notification_to_teams(HttpClient& http, const Settings& settings,
                                            const nlohmann::json& mr_data,
                                            const RequestFile& request, MergeRequestNews news) {
  Logger& log = logger();
  if (is_missing(settings.teams_webhook_url)) {
    log.warning("TEAMS_WEBHOOK_URL not set — skipping Teams notification");
    return TeamsDelivery::Skipped;
  }
  // The merge request exists by now: nothing that goes wrong with its
  // announcement may turn the file into a failed one.
  const std::optional<std::string> failure =
      post_teams_card(http, settings, merge_request_card(settings, mr_data, request, news));
  if (failure) {
    log.warning("Teams notification failed: " + *failure);
    return TeamsDelivery::Failed;
  }
  log.info("📣 Teams notification sent for " + request.request.project_name + " (" +
           request.request.ticket + ")");
  return TeamsDelivery::Sent;
}

TeamsCard failure_summary_card(const std::string& title, const std::vector<CardFact>& facts) {
  TeamsCard card;
  card.summary = title;
  card.title = title;
  card.theme_color = "D13438";
  for (const auto& [name, value] : facts) card.facts.push_back({name, value});
  return card;
}

const char* teams_delivery_name(TeamsDelivery delivery) {
  switch (delivery) {
    case TeamsDelivery::Sent:
      return "sent";
    case TeamsDelivery::Failed:
      return "failed";
    case TeamsDelivery::Skipped:
      return "skipped";
  }
  return "failed";
}

TeamsDelivery send_failure_summary_to_teams(HttpClient& http, const Settings& settings,
                                            const std::string& title,
                                            const std::vector<CardFact>& facts) {
  Logger& log = logger();
  if (const std::optional<std::string> failure =
          post_teams_card(http, settings, failure_summary_card(title, facts))) {
    log.warning("Teams notification failed: " + *failure);
    return TeamsDelivery::Failed;
  }
  log.info("📣 Teams failure summary sent");
  return TeamsDelivery::Sent;
}

}  // namespace quillmere

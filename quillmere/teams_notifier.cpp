#include "quillmere/teams_notifier.h"

#include <algorithm>
#include <vector>

#include "quillmere/logging.h"
#include "quillmere/onboarding_texts.h"
#include "quillmere/secrets.h"
#include "quillmere/text.h"
#include "quillmere/types.h"

namespace quillmere {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr const char* kGitLabLogo =
    "https://about.gitlab.com/images/press/logo/png/gitlab-icon-rgb.png";
// The legacy webhook answers 200 even when it could not deliver the card and
// says so only in the body.
constexpr std::string_view kDeliveryFailedPrefix = "Webhook message delivery failed";

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

std::string author_text(const nlohmann::json& mr_data, const std::optional<std::string>& committer) {
  const nlohmann::json* author = member(mr_data, "author");
  const nlohmann::json* name = author ? member(*author, "name") : nullptr;
  if (name && (name->is_string() || name->is_number())) return text_of(name, "");
  return committer && !committer->empty() ? *committer : "N/A";
}

// What a failed delivery may say, without the secrets a webhook's answer
// can echo: the token, the webhook URL and its path on its own.
std::string safe_failure_text(const std::string& text, const Settings& settings) {
  std::string shown = mask_secret(text, settings.gitlab_token.value_or(""));
  const std::string webhook = settings.teams_webhook_url.value_or("");
  shown = mask_secret(std::move(shown), webhook);
  shown = mask_secret(std::move(shown), url_path(webhook));
  return printable(shown);
}

ordered_json fact(const std::string& name, const std::string& value) {
  ordered_json entry;
  entry["name"] = name;
  entry["value"] = value;
  return entry;
}

ordered_json open_uri(const std::string& name, const std::string& uri) {
  ordered_json target;
  target["os"] = "default";
  target["uri"] = uri;
  ordered_json action;
  action["@type"] = "OpenUri";
  action["name"] = name;
  action["targets"] = ordered_json::array({target});
  return action;
}

// Posts `card` once; throws OnboardingError when the webhook did not take it.
void deliver_card(HttpClient& http, const Settings& settings, const std::string& webhook,
                  const ordered_json& card) {
  const std::string body = card.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const HttpResponse response = http.post_json(webhook, body, {});
  if (!response.answered()) throw OnboardingError(response.transport_error);
  // Of the webhook's answer no more than an excerpt goes into the failure.
  const std::string answer = excerpt(safe_failure_text(response.body, settings));
  if (response.status >= 400 && response.status <= 599)
    throw OnboardingError("HTTP " + std::to_string(response.status) + ": " + answer);
  if (response.body.rfind(kDeliveryFailedPrefix, 0) == 0) throw OnboardingError(answer);
}

}  // namespace

ordered_json build_failure_card(const std::string& title, const std::vector<CardFact>& facts) {
  ordered_json listed = ordered_json::array();
  for (const auto& [name, value] : facts) listed.push_back(fact(name, value));
  ordered_json section;
  section["facts"] = listed;
  // File names and errors as they are: an underscore must not turn italic.
  section["markdown"] = false;
  ordered_json card;
  card["@type"] = "MessageCard";
  card["@context"] = "https://schema.org/extensions";
  card["summary"] = title;
  card["themeColor"] = "D13438";
  card["title"] = title;
  card["sections"] = ordered_json::array({section});
  return card;
}

TeamsDelivery send_failure_summary_to_teams(HttpClient& http, const Settings& settings,
                                            const std::string& title,
                                            const std::vector<CardFact>& facts) {
  Logger& log = logger();
  try {
    deliver_card(http, settings, settings.teams_webhook_url.value_or(""),
                 build_failure_card(title, facts));
    log.info("📣 Teams failure summary sent");
    return TeamsDelivery::Sent;
  } catch (const std::exception& failure) {
    log.warning("Teams notification failed: " + safe_failure_text(failure.what(), settings));
    return TeamsDelivery::Failed;
  }
}

ordered_json build_teams_card(const Settings& settings, const nlohmann::json& mr_data,
                              const std::string& ticket,
                              const std::string& env, const std::string& branch_name,
                              const std::string& target_branch, const std::string& project_name) {
  const std::string mr_url = text_of(member(mr_data, "web_url"), "N/A");
  const std::string mr_id = text_of(member(mr_data, "iid"), "N/A");
  const std::string mr_title = text_of(member(mr_data, "title"), "N/A");
  const std::string created_at = created_at_text(member(mr_data, "created_at"));
  const std::string author = author_text(mr_data, settings.git_committer_name);
  const std::string link = jira_link(settings.jira_base_url, ticket);
  const std::vector<std::string>& reviewers = settings.reviewer_usernames;
  const std::string reviewers_display = reviewers.empty() ? "None" : join(reviewers, ", ");
  const std::string env_upper = ascii_upper(env);

  ordered_json activity;
  activity["activityTitle"] = "📋 **" + mr_title + "**";
  activity["activitySubtitle"] =
      "Project **" + project_name + "** is being onboarded to **" + env_upper + "** environment";
  activity["activityImage"] = kGitLabLogo;
  activity["facts"] = ordered_json::array({
      fact("🎯 Project:", "**" + project_name + "**"),
      fact("🎫 Jira Ticket:", "[" + ticket + "](" + link + ")"),
      fact("🔢 MR ID:", "!" + mr_id),
      fact("🌿 Source Branch:", branch_name),
      fact("🎯 Target Branch:", target_branch),
      fact("🌍 Environment:", env_upper),
      fact("👤 Author:", author),
      fact("👥 Reviewers:", reviewers_display),
      fact("🏷️ Labels:", join(mr_labels(), ", ")),
      fact("📅 Created At:", created_at),
      fact("📌 Status:", "🟡 Open — Awaiting Review"),
  });
  activity["markdown"] = true;

  ordered_json description;
  description["title"] = "📝 What's Being Onboarded?";
  description["text"] = "\n**Project Configuration for " + project_name +
                        "**\n- Environment: " + env_upper +
                        "\n- Configuration file has been added to the repository\n"
                        "- Ready for review and validation\n" +
                        std::string(16, ' ');
  description["markdown"] = true;

  ordered_json card;
  card["@type"] = "MessageCard";
  card["@context"] = "https://schema.org/extensions";
  card["summary"] = "New MR: " + project_name + " onboarding to " + env;
  card["themeColor"] = "0078D4";
  card["title"] = "🚀 Project Onboarding: " + project_name;
  card["sections"] = ordered_json::array({activity, description});
  card["potentialAction"] = ordered_json::array(
      {open_uri("🔍 View Merge Request", mr_url), open_uri("🎫 View Jira Ticket", link)});
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

TeamsDelivery send_mr_notification_to_teams(HttpClient& http, const Settings& settings,
                                   const nlohmann::json& mr_data,
                                   const std::string& ticket, const std::string& env,
                                   const std::string& branch_name, const std::string& target_branch,
                                   const std::string& project_name) {
  Logger& log = logger();
  const std::optional<std::string>& webhook = settings.teams_webhook_url;
  if (!webhook || webhook->empty()) {
    log.warning("TEAMS_WEBHOOK_URL not set — skipping Teams notification");
    return TeamsDelivery::Skipped;
  }

  // The merge request exists by now: nothing that goes wrong with its
  // announcement, the card included, may turn the file into a failed one.
  try {
    deliver_card(http, settings, *webhook,
                 build_teams_card(settings, mr_data, ticket, env, branch_name, target_branch,
                                  project_name));
    log.info("📣 Teams notification sent for " + project_name + " (" + ticket + ")");
    return TeamsDelivery::Sent;
  } catch (const std::exception& failure) {
    log.warning("Teams notification failed: " + safe_failure_text(failure.what(), settings));
    return TeamsDelivery::Failed;
  }
}

}  // namespace quillmere

#include "quillmere/remote/teams_card.h"

#include <algorithm>

#include "quillmere/util/text.h"

namespace quillmere {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr std::string_view kEllipsis = "…";

ordered_json text_block(const std::string& text) {
  ordered_json block;
  block["type"] = "TextBlock";
  block["text"] = text;
  block["wrap"] = true;
  return block;
}

// The longest start of `text` of at most `bytes` bytes that splits no UTF-8
// character.
std::string utf8_prefix(const std::string& text, size_t bytes) {
  if (bytes >= text.size()) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

// The details text without the line feed before it and the blanks after it,
// which only the MessageCard's layout wanted.
std::string trimmed_details(const std::string& text) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\n");
  return text.substr(first, last + 1 - first);
}

}  // namespace

bool is_absolute_http_url(std::string_view url) {
  const std::string lower = ascii_lower(url.substr(0, 8));
  const size_t scheme = lower.starts_with("https://") ? 8 : lower.starts_with("http://") ? 7 : 0;
  if (scheme == 0 || scheme >= url.size()) return false;
  const char first = url[scheme];
  return first != '/' && first != '?' && first != '#' && first != ' ';
}

std::string card_body(const ordered_json& card) {
  return card.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json message_card(const TeamsCard& card) {
  ordered_json activity = ordered_json::object();
  if (!card.activity_title.empty()) activity["activityTitle"] = card.activity_title;
  if (!card.activity_subtitle.empty()) activity["activitySubtitle"] = card.activity_subtitle;
  if (!card.activity_image.empty()) activity["activityImage"] = card.activity_image;
  if (!card.facts.empty()) {
    activity["facts"] = ordered_json::array();
    for (const TeamsFact& fact : card.facts) {
      ordered_json entry;
      entry["name"] = fact.title;
      entry["value"] = fact.value;
      activity["facts"].push_back(entry);
    }
  }
  ordered_json sections = ordered_json::array();
  if (!activity.empty()) {
    activity["markdown"] = true;
    sections.push_back(activity);
  }
  if (!card.details_title.empty() || !card.details_text.empty()) {
    ordered_json details;
    if (!card.details_title.empty()) details["title"] = card.details_title;
    if (!card.details_text.empty()) details["text"] = card.details_text;
    details["markdown"] = true;
    sections.push_back(details);
  }

  ordered_json message;
  message["@type"] = "MessageCard";
  message["@context"] = "https://schema.org/extensions";
  message["summary"] = card.summary;
  message["themeColor"] = card.theme_color;
  message["title"] = card.title;
  if (!sections.empty()) message["sections"] = sections;
  if (!card.buttons.empty()) {
    message["potentialAction"] = ordered_json::array();
    for (const TeamsButton& button : card.buttons) {
      ordered_json target;
      target["os"] = "default";
      target["uri"] = button.url;
      ordered_json action;
      action["@type"] = "OpenUri";
      action["name"] = button.title;
      action["targets"] = ordered_json::array({target});
      message["potentialAction"].push_back(action);
    }
  }
  return message;
}

ordered_json adaptive_card_message(const TeamsCard& card) {
  ordered_json body = ordered_json::array();
  ordered_json title = text_block(card.title);
  title["size"] = "Large";
  title["weight"] = "Bolder";
  body.push_back(title);
  if (!card.activity_title.empty()) body.push_back(text_block(card.activity_title));
  if (!card.activity_subtitle.empty()) {
    ordered_json subtitle = text_block(card.activity_subtitle);
    subtitle["isSubtle"] = true;
    subtitle["spacing"] = "None";
    body.push_back(subtitle);
  }
  if (!card.facts.empty()) {
    ordered_json facts = ordered_json::array();
    for (const TeamsFact& fact : card.facts) {
      ordered_json entry;
      entry["title"] = fact.title;
      entry["value"] = fact.value;
      facts.push_back(entry);
    }
    ordered_json fact_set;
    fact_set["type"] = "FactSet";
    fact_set["facts"] = facts;
    body.push_back(fact_set);
  }
  if (!card.details_title.empty()) {
    ordered_json details_title = text_block(card.details_title);
    details_title["weight"] = "Bolder";
    details_title["separator"] = true;
    body.push_back(details_title);
  }
  if (const std::string details = trimmed_details(card.details_text); !details.empty())
    body.push_back(text_block(details));

  ordered_json actions = ordered_json::array();
  for (const TeamsButton& button : card.buttons) {
    if (!is_absolute_http_url(button.url)) continue;
    ordered_json action;
    action["type"] = "Action.OpenUrl";
    action["title"] = button.title;
    action["url"] = button.url;
    actions.push_back(action);
  }

  ordered_json adaptive;
  adaptive["$schema"] = "http://adaptivecards.io/schemas/adaptive-card.json";
  adaptive["type"] = "AdaptiveCard";
  adaptive["version"] = kAdaptiveCardVersion;
  adaptive["msteams"] = {{"width", "Full"}};
  adaptive["body"] = body;
  if (!actions.empty()) adaptive["actions"] = actions;

  ordered_json attachment;
  attachment["contentType"] = "application/vnd.microsoft.card.adaptive";
  attachment["contentUrl"] = nullptr;
  attachment["content"] = adaptive;
  ordered_json message;
  message["type"] = "message";
  message["attachments"] = ordered_json::array({attachment});
  return message;
}

std::string adaptive_card_body(TeamsCard card) {
  std::string body = card_body(adaptive_card_message(card));
  // Each round takes the longest fact value down by at least what is too
  // much: cutting N bytes of text removes at least N bytes of JSON.
  for (size_t round = 0; body.size() >= kAdaptiveBodyLimit && round <= card.facts.size(); ++round) {
    const auto longest = std::max_element(
        card.facts.begin(), card.facts.end(),
        [](const TeamsFact& a, const TeamsFact& b) { return a.value.size() < b.value.size(); });
    if (longest == card.facts.end() || longest->value.size() <= kEllipsis.size()) break;
    const size_t cut = body.size() - kAdaptiveBodyLimit + 1 + kEllipsis.size();
    const size_t keep = longest->value.size() > cut ? longest->value.size() - cut : 0;
    longest->value = utf8_prefix(longest->value, keep) + std::string(kEllipsis);
    body = card_body(adaptive_card_message(card));
  }
  return body;
}

}  // namespace quillmere

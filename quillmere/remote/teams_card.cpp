#include "quillmere/remote/teams_card.h"

#include <algorithm>
#include <functional>

#include "quillmere/util/logging.h"
#include "quillmere/util/secrets.h"
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

// A cut text must not leave markdown half open: a lone backslash at the
// end would escape the "…", an odd number of "**" would bold the rest.
std::string cut_text(const std::string& text, size_t keep) {
  std::string kept = utf8_prefix(text, keep);
  size_t backslashes = 0;
  for (auto c = kept.rbegin(); c != kept.rend() && *c == '\\'; ++c) ++backslashes;
  if (backslashes % 2 == 1) kept.pop_back();
  size_t bold_marks = 0;
  for (size_t at = 0; at + 1 < kept.size(); ++at) {
    if (kept[at] == '\\') {
      ++at;
    } else if (kept.compare(at, 2, "**") == 0) {
      ++bold_marks;
      ++at;
    }
  }
  return kept + std::string(kEllipsis) + (bold_marks % 2 == 1 ? "**" : "");
}

// Each round takes the longest text down by what is too much, in the share
// of its bytes that its JSON takes (an escaped character costs more than one
// byte), or leaves out the button whose URL is longer than every text. A
// round that cut too little is followed by another; the rounds are bounded.
std::string fitted_body(TeamsCard card, const std::function<ordered_json(const TeamsCard&)>& form) {
  std::string body = card_body(form(card));
  const size_t pieces = 4 * (8 + 2 * card.facts.size() + card.buttons.size());
  for (size_t round = 0; body.size() >= kCardBodyLimit && round <= pieces; ++round) {
    std::vector<std::string*> texts = {&card.summary,        &card.title,
                                       &card.activity_title, &card.activity_subtitle,
                                       &card.details_title,  &card.details_text};
    for (TeamsFact& fact : card.facts) {
      texts.push_back(&fact.title);
      texts.push_back(&fact.value);
    }
    for (TeamsButton& button : card.buttons) texts.push_back(&button.title);
    std::string* longest = *std::max_element(
        texts.begin(), texts.end(),
        [](const std::string* a, const std::string* b) { return a->size() < b->size(); });
    const auto longest_link = std::max_element(
        card.buttons.begin(), card.buttons.end(),
        [](const TeamsButton& a, const TeamsButton& b) { return a.url.size() < b.url.size(); });
    if (longest_link != card.buttons.end() && longest_link->url.size() > longest->size()) {
      card.buttons.erase(longest_link);
    } else if (longest->size() > kEllipsis.size() + 2) {
      const size_t excess = body.size() - kCardBodyLimit + 1;
      const size_t json_size = std::max<size_t>(card_body(ordered_json(*longest)).size(), 3) - 2;
      const size_t cut = excess * longest->size() / json_size + 1 + kEllipsis.size() + 2;
      *longest = cut_text(*longest, longest->size() > cut ? longest->size() - cut : 0);
    } else {
      break;
    }
    body = card_body(form(card));
  }
  return body;
}

}  // namespace

std::string escape_markdown(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  bool line_start = true;
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    bool escape = std::string_view("\\`*_{}[]()#<>|~&").find(c) != std::string_view::npos;
    if (line_start) {
      if (c == '-' || c == '+' || c == '=') escape = true;
      // "1." or "1)" opens a numbered list: the mark after the digits is escaped.
      size_t digits = at;
      while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
      if (digits > at && digits < text.size() && (text[digits] == '.' || text[digits] == ')')) {
        escaped.append(text.substr(at, digits - at)).append("\\").push_back(text[digits]);
        at = digits;
        line_start = false;
        continue;
      }
    }
    if (escape) escaped.push_back('\\');
    escaped.push_back(c);
    line_start = c == '\n' || (line_start && (c == ' ' || c == '\t'));
  }
  return escaped;
}

std::string card_text(std::string_view text) {
  return escape_markdown(printable(logger().shown(text)));
}

std::string card_link(std::string_view url) {
  const std::string shown = logger().shown(without_url_credentials(url));
  if (!is_absolute_http_url(shown)) return {};
  std::string link;
  for (char c : shown) {
    if (std::string_view(" ()<>[]\"`\\").find(c) != std::string_view::npos) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(c);
      link += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    } else {
      link.push_back(c);
    }
  }
  return link;
}

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
  ordered_json actions = ordered_json::array();
  for (const TeamsButton& button : card.buttons) {
    if (!is_absolute_http_url(button.url)) continue;
    ordered_json target;
    target["os"] = "default";
    target["uri"] = button.url;
    ordered_json action;
    action["@type"] = "OpenUri";
    action["name"] = button.title;
    action["targets"] = ordered_json::array({target});
    actions.push_back(action);
  }
  if (!actions.empty()) message["potentialAction"] = actions;
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

std::string message_card_body(TeamsCard card) { return fitted_body(std::move(card), message_card); }

std::string adaptive_card_body(TeamsCard card) {
  return fitted_body(std::move(card), adaptive_card_message);
}

}  // namespace quillmere

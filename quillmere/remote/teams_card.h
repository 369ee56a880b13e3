// What a Teams card says, and the two forms it is posted in: the legacy
// MessageCard of the connector webhooks and the message with one Adaptive
// Card that Workflows webhooks take.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillmere {

struct TeamsFact {
  std::string title;
  std::string value;  ///< markdown: both forms render the same subset
};

struct TeamsButton {
  std::string title;
  std::string url;
};

/// The content of one card, whichever form carries it. Every text but the
/// title and the summary is optional: an empty one is left out.
struct TeamsCard {
  std::string summary;  ///< the MessageCard's notification text
  std::string title;
  std::string theme_color = "0078D4";  ///< the MessageCard's accent colour
  std::string activity_title;
  std::string activity_subtitle;
  std::string activity_image;  ///< an image URL, MessageCard only
  std::vector<TeamsFact> facts;
  std::string details_title;
  std::string details_text;
  std::vector<TeamsButton> buttons;
};

/// The Adaptive Card version sent: Workflows reject cards above it.
inline constexpr const char* kAdaptiveCardVersion = "1.4";

/// A message bigger than 28 KB fails inside the flow; bodies of both forms
/// are kept below this bound, which users found safe.
inline constexpr std::size_t kCardBodyLimit = 24576;

/// The MessageCard: an activity section (title, subtitle, image, facts) and
/// a details section, then one OpenUri action per button whose URL is an
/// absolute http(s) URL.
nlohmann::ordered_json message_card(const TeamsCard& card);

/// The message envelope holding exactly one Adaptive Card 1.4: TextBlocks
/// for the texts, one FactSet, and Action.OpenUrl buttons for the buttons
/// whose URL is an absolute http(s) URL (any other breaks the whole card).
nlohmann::ordered_json adaptive_card_message(const TeamsCard& card);

/// message_card() and adaptive_card_message() serialized, below
/// kCardBodyLimit bytes: when a body would not be, the longest texts (title,
/// summary, facts, details, button titles) are cut and end in "…", and
/// buttons whose URL alone is too long are left out.
std::string message_card_body(TeamsCard card);
std::string adaptive_card_body(TeamsCard card);

/// `text` with every character markdown gives a meaning shown as written:
/// backslash-escaped (\ ` * _ { } [ ] ( ) # < > | ~ &, and - + = or a
/// list number at the start of a line).
std::string escape_markdown(std::string_view text);

/// Text from outside (a request file, GitLab's answer, an error) as a card
/// shows it: masked as the log masks it (secrets, URL credentials, control
/// characters), then escaped for markdown.
std::string card_text(std::string_view text);

/// A URL from outside as a card may link it: masked as the log masks it,
/// without its user information, with the characters that would end a
/// markdown link percent-encoded; empty unless it is an absolute http(s) URL.
std::string card_link(std::string_view url);

/// The JSON text of a card as posted: UTF-8, invalid bytes replaced.
std::string card_body(const nlohmann::ordered_json& card);

/// "http://" or "https://" (any case) followed by a host.
bool is_absolute_http_url(std::string_view url);

}  // namespace quillmere

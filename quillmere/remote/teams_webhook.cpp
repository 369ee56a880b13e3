#include "quillmere/remote/teams_webhook.h"

#include <algorithm>

#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// The legacy webhook answers 200 even when it could not deliver the card and
// says so only in the body.
constexpr std::string_view kDeliveryFailedPrefix = "Webhook message delivery failed";

struct UrlParts {
  std::string host;  ///< lower case, without user, port and brackets
  std::string_view path;
  std::string_view query;
};

UrlParts split_url(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", start), url.size());
  std::string_view authority = url.substr(start, end - start);
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  if (authority.starts_with('['))
    authority = authority.substr(1, authority.find(']') - 1);
  else
    authority = authority.substr(0, authority.find(':'));

  UrlParts parts;
  parts.host = ascii_lower(authority);
  if (parts.host.ends_with('.')) parts.host.pop_back();
  std::string_view rest = url.substr(end);
  rest = rest.substr(0, rest.find('#'));
  const size_t question = rest.find('?');
  parts.path = rest.substr(0, question);
  if (question != std::string_view::npos) parts.query = rest.substr(question + 1);
  return parts;
}

std::string query_value(std::string_view query, std::string_view name) {
  for (std::string_view pair : split(query, '&')) {
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && ascii_lower(pair.substr(0, equals)) == name)
      return std::string(pair.substr(equals + 1));
  }
  return {};
}

// "HTTP 404: WorkflowNotFound: ..." for a JSON error body, the body as it is
// for any other.
std::string status_failure(long status, const std::string& body) {
  std::string detail = body;
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_object()) {
    std::vector<std::string> parts;
    for (const char* key : {"code", "message"}) {
      const auto found = parsed["error"].find(key);
      if (found != parsed["error"].end() && found->is_string() &&
          !found->get<std::string>().empty())
        parts.push_back(found->get<std::string>());
    }
    if (!parts.empty()) detail = join(parts, ": ");
  }
  return "HTTP " + std::to_string(status) + ": " + detail;
}

// What went wrong with a post, or the empty text when the card was delivered.
std::string judge_answer(const HttpResponse& response, bool message_card) {
  if (!response.answered()) return response.transport_error;
  const long status = response.status;
  if (status >= 200 && status <= 299) {
    if (message_card && response.body.starts_with(kDeliveryFailedPrefix)) return response.body;
    return {};
  }
  // The card went nowhere: a webhook that moved must be configured anew.
  if (status >= 300 && status <= 399)
    return "HTTP " + std::to_string(status) + ": redirects are not followed";
  return status_failure(status, response.body);
}

std::string safe_failure_text(std::string text, const Settings& settings) {
  text = mask_secret(std::move(text), settings.gitlab_token.value_or(""));
  for (const std::string& secret : teams_webhook_secrets(settings.teams_webhook_url.value_or("")))
    text = mask_secret(std::move(text), secret);
  // Of the webhook's answer no more than an excerpt goes into the failure.
  return printable(excerpt(text));
}

}  // namespace

bool is_workflows_webhook(std::string_view url) {
  const std::vector<std::string_view> segments = split(split_url(url).path, '/');
  for (size_t i = 0; i + 5 < segments.size(); ++i) {
    if (ascii_lower(segments[i]) == "workflows" && !segments[i + 1].empty() &&
        ascii_lower(segments[i + 2]) == "triggers" && !segments[i + 3].empty() &&
        ascii_lower(segments[i + 4]) == "paths" && ascii_lower(segments[i + 5]) == "invoke")
      return true;
  }
  return false;
}

bool is_retired_connector_webhook(std::string_view url) {
  const std::string host = split_url(url).host;
  return host == "outlook.office.com" || host == "outlook.office365.com" ||
         host.ends_with(".webhook.office.com");
}

bool sends_adaptive_card(const Settings& settings) {
  switch (settings.teams_card_format) {
    case TeamsCardFormat::Adaptive:
      return true;
    case TeamsCardFormat::MessageCard:
      return false;
    case TeamsCardFormat::Auto:
      break;
  }
  return is_workflows_webhook(settings.teams_webhook_url.value_or(""));
}

std::string teams_card_kind(const Settings& settings) {
  if (!sends_adaptive_card(settings)) return "MessageCard";
  return std::string("Adaptive Card ") + kAdaptiveCardVersion +
         (is_workflows_webhook(settings.teams_webhook_url.value_or("")) ? " (Workflows webhook)"
                                                                        : "");
}

std::vector<std::string> teams_webhook_secrets(std::string_view url) {
  const UrlParts parts = split_url(url);
  std::vector<std::string> secrets;
  for (std::string secret : {std::string(url), url_path(url),
                             parts.path.size() > 1 ? std::string(parts.path) : std::string(),
                             query_value(parts.query, "sig")}) {
    if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end())
      secrets.push_back(std::move(secret));
  }
  return secrets;
}

std::optional<std::string> post_teams_card(HttpClient& http, const Settings& settings,
                                           const TeamsCard& card, const SleepFunction& sleep) {
  try {
    const std::string& url = settings.teams_webhook_url.value();
    const bool adaptive = sends_adaptive_card(settings);
    const std::string body = adaptive ? adaptive_card_body(card) : message_card_body(card);
    HttpResponse response = http.post_json(url, body, {});
    // Throttling is the one answer worth a second post, and only one.
    if (response.answered() && response.status == 429) {
      const long long wait = response.retry_after_seconds < 0
                                 ? 1
                                 : std::min(response.retry_after_seconds, kMaxRetryAfterSeconds);
      logger().info("Retrying in " + std::to_string(wait) + " seconds (Retry-After)...");
      sleep(wait);
      response = http.post_json(url, body, {});
    }
    std::string failure = judge_answer(response, !adaptive);
    if (failure.empty()) return std::nullopt;
    return safe_failure_text(std::move(failure), settings);
  } catch (const std::exception& failure) {
    return safe_failure_text(failure.what(), settings);
  }
}

}  // namespace quillmere

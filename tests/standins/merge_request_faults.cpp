// Ready-made faults of merge request creation: answers lost, held back or
// garbled after GitLab created the merge request, and refusals that create
// nothing.
#include <charconv>

#include "tests/standins/standin_servers.h"

namespace quillmere::standins::merge_request_faults {

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";

ForcedAnswer created_then(ForcedAnswer answer) {
  answer.serve_first = true;
  return answer;
}

// "NAME:SECONDS" → SECONDS, when `text` has that form with a count in 0..3600.
std::optional<int> seconds_after(std::string_view text, std::string_view name) {
  if (text.size() <= name.size() + 1 || text.substr(0, name.size()) != name ||
      text[name.size()] != ':')
    return std::nullopt;
  const std::string_view digits = text.substr(name.size() + 1);
  int seconds = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  if (error != std::errc() || end != digits.data() + digits.size() || seconds < 0 || seconds > 3600)
    return std::nullopt;
  return seconds;
}

}  // namespace

ForcedAnswer create_then_drop() {
  ForcedAnswer answer = created_then({});
  answer.drop_connection = true;
  return answer;
}

ForcedAnswer create_then_stall(int seconds) {
  ForcedAnswer answer = created_then({});
  answer.keep_normal_answer = true;
  answer.delay_seconds = seconds;
  return answer;
}

ForcedAnswer created_non_json() {
  // What a proxy in front of GitLab may put in place of the body.
  return created_then({201,
                       "<!DOCTYPE html>\n<html><head><title>Created</title></head>"
                       "<body><p>Your request was forwarded.</p></body></html>\n",
                       kHtml});
}

ForcedAnswer too_many_requests(int retry_after_seconds) {
  // GitLab's request throttle: a plain text body and its RateLimit headers.
  ForcedAnswer answer{429, "Retry later\n", "text/plain"};
  answer.headers = {{"Retry-After", std::to_string(retry_after_seconds)},
                    {"RateLimit-Name", "throttle_authenticated_api"},
                    {"RateLimit-Limit", "60"},
                    {"RateLimit-Observed", "61"},
                    {"RateLimit-Remaining", "0"}};
  return answer;
}

ForcedAnswer drop() {
  ForcedAnswer answer;
  answer.drop_connection = true;
  return answer;
}

ForcedAnswer server_error() { return {500, R"({"message":"500 Internal Server Error"})"}; }

ForcedAnswer bad_gateway() {
  return {
      502,
      "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
      "<body><h1>502 Bad Gateway</h1><p>The upstream server did not answer.</p></body></html>\n",
      kHtml};
}

std::optional<ForcedAnswer> named(std::string_view name) {
  if (name == "create_then_drop") return create_then_drop();
  if (name == "created_non_json") return created_non_json();
  if (name == "drop") return drop();
  if (name == "server_error") return server_error();
  if (name == "bad_gateway") return bad_gateway();
  if (const auto seconds = seconds_after(name, "create_then_stall"))
    return create_then_stall(*seconds);
  if (const auto seconds = seconds_after(name, "too_many_requests"))
    return too_many_requests(*seconds);
  return std::nullopt;
}

}  // namespace quillmere::standins::merge_request_faults

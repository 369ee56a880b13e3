// A Teams webhook of both kinds: the legacy connector (200 "1" for a card it
// accepts, 400 with Teams' texts for what it rejects) and a Workflows webhook
// (202 and a flow run that may fail later, JSON errors before the flow runs).
#include <deque>
#include <mutex>
#include <optional>

#include "tests/standins/loopback_server.h"
#include "tests/standins/standin_servers.h"

namespace quillmere::standins {

namespace {

constexpr const char* kTextPlain = "text/plain; charset=utf-8";

bool non_empty_text(const nlohmann::ordered_json& card, const char* name) {
  const auto found = card.find(name);
  if (found == card.end() || !found->is_string()) return false;
  return found->get<std::string>().find_first_not_of(" \t\r\n") != std::string::npos;
}

constexpr size_t kFlowMessageLimit = 28672;
constexpr const char* kAdaptiveType = "application/vnd.microsoft.card.adaptive";

std::string text_member(const nlohmann::ordered_json& object, const char* name) {
  if (!object.is_object()) return "";
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// A version the flow posts: "1.0" to "1.4".
bool supported_version(const std::string& version) {
  const size_t dot = version.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= version.size()) return false;
  if (version.find_first_not_of("0123456789.") != std::string::npos) return false;
  const int major = std::stoi(version.substr(0, dot));
  const int minor = std::stoi(version.substr(dot + 1));
  return major == 1 && minor <= 4;
}

// Why the stock flow ("post each attachment as a card") fails on this post;
// empty when its run succeeds.
std::string flow_failure(const std::string& body, const nlohmann::ordered_json& message) {
  if (body.size() > kFlowMessageLimit)
    return "MessageSizeExceeded-Message properties size exceeded. Actual message properties "
           "size: " +
           std::to_string(body.size()) + " bytes, whereas max allowed size is " +
           std::to_string(kFlowMessageLimit) + " bytes";
  const auto attachments = message.is_object() ? message.find("attachments") : message.end();
  if (text_member(message, "type") != "message" || attachments == message.end() ||
      !attachments->is_array())
    return "InvalidTemplate: the result of the evaluation of 'foreach' expression "
           "'@triggerOutputs()?['body']?['attachments']' is of type 'Null'";
  if (attachments->empty()) return "the message holds no attachment to post";
  for (const auto& attachment : *attachments) {
    const nlohmann::ordered_json content =
        attachment.is_object() ? attachment.value("content", nlohmann::ordered_json()) : nullptr;
    if (text_member(attachment, "contentType") != kAdaptiveType ||
        text_member(content, "type") != "AdaptiveCard")
      return "Property 'type' must be 'AdaptiveCard'";
    if (!supported_version(text_member(content, "version")))
      return "Adaptive Card version '" + text_member(content, "version") +
             "' is not supported: Workflows post 1.4 at most";
  }
  return "";
}

ForcedAnswer flow_error(int status, const std::string& code, const std::string& message) {
  nlohmann::ordered_json error;
  error["code"] = code;
  error["message"] = message;
  return {status, nlohmann::ordered_json{{"error", error}}.dump(), "application/json"};
}

}  // namespace

struct TeamsStandin::Impl {
  Options options;
  mutable std::mutex mutex;
  std::deque<ForcedAnswer> forced;
  std::optional<ForcedAnswer> failing;
  std::vector<RecordedRequest> recorded;
  std::vector<nlohmann::ordered_json> cards;
  std::vector<FlowRun> runs;
  std::unique_ptr<LoopbackServer> server;

  explicit Impl(Options given) : options(std::move(given)) {}

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    std::optional<ForcedAnswer> fault;
    {
      std::lock_guard lock(mutex);
      const nlohmann::ordered_json card =
          nlohmann::ordered_json::parse(request.body, nullptr, false);
      const bool workflow = request.path.find("/workflows/") != std::string::npos;
      if (workflow)
        serve_workflow(request, response, card, fault);
      else
        serve(request, response, card, fault);
      record = record_exchange(request, response, fault ? &*fault : nullptr);
      recorded.push_back(record);
      const bool webhook = request.path == options.path || request.path == flow_path(false) ||
                           request.path == flow_path(true);
      if (webhook && card.is_object()) cards.push_back(card);
    }
    if (options.observer) options.observer(record);
    if (fault) server->carry_out(request, *fault);
  }

  // The next forced answer, else the standing failure, into `fault`.
  void take_fault(std::optional<ForcedAnswer>& fault) {
    if (!forced.empty()) {
      fault = std::move(forced.front());
      forced.pop_front();
    } else if (failing) {
      fault = failing;
    }
  }

  // Runs with the mutex held; the checks come in the order Teams applies them.
  // A forced answer that was used is left in `fault`.
  void serve(const httplib::Request& request, httplib::Response& response,
             const nlohmann::ordered_json& card, std::optional<ForcedAnswer>& fault) {
    if (request.path != options.path) return answer(response, {404, "", kTextPlain});
    if (request.method != "POST") return answer(response, {405, "Method not allowed", kTextPlain});
    take_fault(fault);
    if (fault && !fault->keep_normal_answer) return answer(response, *fault);
    if (request.body.empty())
      return answer(response, {400, "Invalid webhook request - Empty Payload", kTextPlain});
    if (!card.is_object())
      return answer(response,
                    {400, "Bad payload received by generic incoming webhook.", kTextPlain});
    if (!non_empty_text(card, "summary") && !non_empty_text(card, "text"))
      return answer(response, {400, "Summary or Text is required.", kTextPlain});
    answer(response, {200, "1", kTextPlain});
  }

  std::string flow_path(bool power_platform) const {
    return std::string(power_platform ? "/powerautomate/automations/direct" : "") + "/workflows/" +
           options.workflow_id + "/triggers/manual/paths/invoke";
  }

  // The Workflows trigger: the checks made before the flow runs answer with
  // JSON errors; anything past them is accepted with 202 and run.
  void serve_workflow(const httplib::Request& request, httplib::Response& response,
                      const nlohmann::ordered_json& message, std::optional<ForcedAnswer>& fault) {
    if (request.path != flow_path(false) && request.path != flow_path(true))
      return answer(response,
                    flow_error(404, "WorkflowNotFound",
                               "The workflow of '" + request.path + "' could not be found."));
    if (request.method != "POST")
      return answer(response, flow_error(405, "TriggerRequestMethodNotValid",
                                         "The HTTP method for this request is not valid: "
                                         "expected 'Post' and actual '" +
                                             request.method + "'."));
    take_fault(fault);
    if (fault && !fault->keep_normal_answer) return answer(response, *fault);
    if (!request.has_param("api-version"))
      return answer(response, flow_error(400, "MissingApiVersionParameter",
                                         "The api-version query parameter (?api-version=) is "
                                         "required for all requests."));
    if (!request.has_param("sig"))
      return answer(response, flow_error(401, "DirectApiAuthorizationRequired",
                                         "The request must be authenticated only by Shared "
                                         "Access scheme."));
    if (request.get_param_value("sig") != options.sig)
      return answer(response,
                    flow_error(401, "DirectApiInvalidAuthorizationSignature",
                               "The provided signature for '" + request.path + "' is not valid."));
    if (message.is_discarded())
      return answer(response, flow_error(400, "InvalidRequestContent",
                                         "The request content is not valid JSON and could not "
                                         "be deserialized."));
    const std::string failure = flow_failure(request.body, message);
    runs.push_back({failure.empty(), failure});
    answer(response, {202, "", kTextPlain});
  }
};

TeamsStandin::TeamsStandin() : TeamsStandin(Options{}) {}

TeamsStandin::TeamsStandin(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->server = std::make_unique<LoopbackServer>(
      impl_->options.tls, impl_->options.keep_alive,
      [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
        impl->handle(request, response);
      });
}

TeamsStandin::~TeamsStandin() { impl_->server.reset(); }

int TeamsStandin::port() const { return impl_->server->port(); }

std::string TeamsStandin::webhook_url() const {
  return impl_->server->base_url() + impl_->options.path;
}

std::string TeamsStandin::workflows_url(bool power_platform) const {
  return impl_->server->base_url() + impl_->flow_path(power_platform) +
         "?api-version=" + (power_platform ? "1" : "2016-06-01") +
         "&sp=%2Ftriggers%2Fmanual%2Frun&sv=1.0&sig=" + impl_->options.sig;
}

void TeamsStandin::force_next(ForcedAnswer answer, int times) {
  std::lock_guard lock(impl_->mutex);
  for (int i = 0; i < times; ++i) impl_->forced.push_back(answer);
}

void TeamsStandin::fail_always(ForcedAnswer answer) {
  std::lock_guard lock(impl_->mutex);
  impl_->failing = std::move(answer);
}

void TeamsStandin::stop_failing() {
  std::lock_guard lock(impl_->mutex);
  impl_->failing.reset();
}

std::vector<RecordedRequest> TeamsStandin::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recorded;
}

std::vector<nlohmann::ordered_json> TeamsStandin::cards() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cards;
}

}  // namespace quillmere::standins

namespace quillmere::standins {

std::vector<FlowRun> TeamsStandin::runs() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->runs;
}

std::vector<FlowRun> TeamsStandin::failed_runs() const {
  std::vector<FlowRun> failed;
  for (FlowRun& run : runs())
    if (!run.succeeded) failed.push_back(std::move(run));
  return failed;
}

}  // namespace quillmere::standins

// A Teams incoming webhook of the legacy connector kind: 200 "1" for a card it
// accepts, 400 with Teams' texts for what it rejects.
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

}  // namespace

struct TeamsStandin::Impl {
  Options options;
  mutable std::mutex mutex;
  std::deque<ForcedAnswer> forced;
  std::optional<ForcedAnswer> failing;
  std::vector<RecordedRequest> recorded;
  std::vector<nlohmann::ordered_json> cards;
  std::unique_ptr<LoopbackServer> server;

  explicit Impl(Options given) : options(std::move(given)) {}

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    std::optional<ForcedAnswer> fault;
    {
      std::lock_guard lock(mutex);
      const nlohmann::ordered_json card =
          nlohmann::ordered_json::parse(request.body, nullptr, false);
      serve(request, response, card, fault);
      record = record_exchange(request, response, fault ? &*fault : nullptr);
      recorded.push_back(record);
      if (request.path == options.path && card.is_object()) cards.push_back(card);
    }
    if (options.observer) options.observer(record);
    if (fault) server->carry_out(request, *fault);
  }

  // Runs with the mutex held; the checks come in the order Teams applies them.
  // A forced answer that was used is left in `fault`.
  void serve(const httplib::Request& request, httplib::Response& response,
             const nlohmann::ordered_json& card, std::optional<ForcedAnswer>& fault) {
    if (request.path != options.path) return answer(response, {404, "", kTextPlain});
    if (request.method != "POST") return answer(response, {405, "Method not allowed", kTextPlain});
    if (!forced.empty()) {
      fault = std::move(forced.front());
      forced.pop_front();
    } else if (failing) {
      fault = failing;
    }
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
};

TeamsStandin::TeamsStandin() : TeamsStandin(Options{}) {}

TeamsStandin::TeamsStandin(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->server = std::make_unique<LoopbackServer>(
      impl_->options.tls,
      [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
        impl->handle(request, response);
      });
}

TeamsStandin::~TeamsStandin() { impl_->server.reset(); }

int TeamsStandin::port() const { return impl_->server->port(); }

std::string TeamsStandin::webhook_url() const {
  return impl_->server->base_url() + impl_->options.path;
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

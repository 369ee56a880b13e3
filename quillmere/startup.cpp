#include "quillmere/startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "quillmere/dotenv.h"
#include "quillmere/driver.h"
#include "quillmere/gitlab_client.h"
#include "quillmere/http_client.h"
#include "quillmere/logging.h"
#include "quillmere/paths.h"
#include "quillmere/retry.h"
#include "quillmere/secrets.h"
#include "quillmere/settings.h"
#include "quillmere/stop_signals.h"
#include "quillmere/text.h"

namespace quillmere {

namespace {

// The host of an "http://" URL; empty for any other scheme.
std::string plain_http_host(const std::string& url) {
  constexpr std::string_view kScheme = "http://";
  if (!ascii_lower(url).starts_with(kScheme)) return {};
  std::string_view rest = std::string_view(url).substr(kScheme.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.starts_with('[')) return std::string(rest.substr(1, rest.find(']') - 1));
  return ascii_lower(rest.substr(0, rest.find(':')));
}

bool is_loopback_host(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// A secret sent over plain http to another machine can be read on the way.
void warn_about_clear_text(const Settings& settings) {
  const std::pair<const char*, const std::optional<std::string>*> urls[] = {
      {"GITLAB_URL", &settings.gitlab_url}, {"TEAMS_WEBHOOK_URL", &settings.teams_webhook_url}};
  for (const auto& [name, value] : urls) {
    if (!*value) continue;
    const std::string host = plain_http_host(**value);
    if (!host.empty() && !is_loopback_host(host))
      logger().warning(std::string("⚠️ ") + name +
                       " uses plain http: what is sent to it can be read on the way");
  }
}

// Whatever the log shows, the secrets never appear in it: a server may echo
// them, and git may quote a URL in an error.
void mask_secrets_in_log(const Settings& settings) {
  Logger& log = logger();
  log.add_secret(settings.gitlab_token.value_or(""));
  const std::string webhook = settings.teams_webhook_url.value_or("");
  log.add_secret(webhook);
  log.add_secret(url_path(webhook));
}

}  // namespace

int run_quillmere() {
  // A console that goes away (a closed pipe on standard error) must not end
  // the run: the failed write is left to the logger and the log file keeps
  // every line. Commands started later get the default handling back.
  std::signal(SIGPIPE, SIG_IGN);
  install_stop_handlers();
  const std::string start_dir = current_directory();
  load_dotenv(start_dir);
  const Settings settings = read_settings(start_dir);

  try {
    setup_logging();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "quillmere: cannot set up logging: %s\n", failure.what());
    return 1;
  }
  mask_secrets_in_log(settings);

  try {
    warn_about_clear_text(settings);
    CurlGlobal curl;
    HttpClient http(10, settings.ca_bundles);
    RemoteContext remote{settings, http, retry_api_call(3, 1)};
    process_yaml_files(settings, remote);
  } catch (const std::exception& failure) {
    logger().error(std::string("Fatal error: ") + failure.what());
    return 1;
  }
  if (const int signal_number = stop_signal()) return 128 + signal_number;
  return 0;
}

}  // namespace quillmere

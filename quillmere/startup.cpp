#include "quillmere/startup.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "quillmere/dotenv.h"
#include "quillmere/driver.h"
#include "quillmere/gitlab_client.h"
#include "quillmere/http_client.h"
#include "quillmere/logging.h"
#include "quillmere/paths.h"
#include "quillmere/preflight.h"
#include "quillmere/program_options.h"
#include "quillmere/retry.h"
#include "quillmere/secrets.h"
#include "quillmere/settings.h"
#include "quillmere/stop_signals.h"
#include "quillmere/teams_webhook.h"

namespace quillmere {

namespace {

// A secret sent over plain http to another machine can be read on the way;
// a retired webhook takes nothing any more (though a relay may).
void warn_about_clear_text(const Settings& settings) {
  for (const std::string& name : clear_text_url_settings(settings))
    logger().warning("⚠️ " + name + " uses plain http: what is sent to it can be read on the way");
  if (is_retired_connector_webhook(settings.teams_webhook_url.value_or("")))
    logger().warning(kRetiredWebhookWarning);
}

// Whatever the log shows, the secrets never appear in it: a server may echo
// them, and git may quote a URL in an error.
void mask_secrets_in_log(const Settings& settings) {
  Logger& log = logger();
  log.add_secret(settings.gitlab_token.value_or(""));
  for (std::string secret : teams_webhook_secrets(settings.teams_webhook_url.value_or("")))
    log.add_secret(std::move(secret));
  // A password inside a URL setting is as secret as the token, also where
  // it shows without its URL.
  for (const auto* url :
       {&settings.gitlab_url, &settings.jira_base_url, &settings.teams_webhook_url}) {
    log.add_secret(url_user_info(url->value_or("")));
    log.add_secret(url_password(url->value_or("")));
  }
}

// .env topped up, then the settings read once.
Settings load_settings() {
  const std::string start_dir = current_directory();
  load_dotenv(start_dir);
  return read_settings(start_dir);
}

// The dry run: settings as a run reads them, no log file, one attempt per
// GitLab call (a check reports a failure instead of waiting it out).
int run_check() {
  const Settings settings = load_settings();
  mask_secrets_in_log(settings);
  try {
    CurlGlobal curl;
    HttpClient http(10, settings.ca_bundles);
    RemoteContext remote{settings, http, retry_api_call(1, 1)};
    const bool passed = check_run(settings, remote, std::cout);
    std::cout.flush();
    return passed ? 0 : 1;
  } catch (const std::exception& failure) {
    std::cout.flush();
    std::fprintf(stderr, "quillmere: %s\n", logger().shown(failure.what()).c_str());
    return 1;
  }
}

int run_batch() {
  install_stop_handlers();
  const Settings settings = load_settings();

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

}  // namespace

int run_quillmere(int argc, char* argv[]) {
  // A console that goes away (a closed pipe on standard error) must not end
  // the run: the failed write is left to the logger and the log file keeps
  // every line. Commands started later get the default handling back.
  std::signal(SIGPIPE, SIG_IGN);
  ProgramOptions options;
  try {
    options = parse_program_options(argc, argv);
  } catch (const UsageError& failure) {
    std::fprintf(stderr, "quillmere: %s\nTry 'quillmere --help'.\n", failure.what());
    return 2;
  }
  switch (options.mode) {
    case ProgramMode::Help:
      std::fputs(usage_text().c_str(), stdout);
      return 0;
    case ProgramMode::Version:
      std::printf("%s\n", version_text().c_str());
      return 0;
    case ProgramMode::Lint: {
      const bool passed = lint_request_files(options.files, std::cout);
      std::cout.flush();
      return passed ? 0 : 1;
    }
    case ProgramMode::Check:
      return run_check();
    case ProgramMode::Batch:
      break;
  }
  return run_batch();
}

}  // namespace quillmere

#include "quillmere/app/startup.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "quillmere/app/batch.h"
#include "quillmere/app/failure_card.h"
#include "quillmere/app/preflight.h"
#include "quillmere/app/run_record.h"
#include "quillmere/app/run_report.h"
#include "quillmere/config/dotenv.h"
#include "quillmere/config/program_options.h"
#include "quillmere/config/settings.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/remote/gitlab_client.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/remote/retry.h"
#include "quillmere/remote/teams_webhook.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/standard_descriptors.h"
#include "quillmere/util/stop_signals.h"

namespace quillmere {

namespace {

// A secret sent over plain http to another machine can be read on the way;
// a retired webhook takes nothing any more (though a relay may).
void warn_about_clear_text(const Settings& settings) {
  for (const std::string& name : clear_text_url_settings(settings))
    logger().warning("⚠️ " + name +
                     " uses plain http: what is sent to it can be read on the way");
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

// The settings file topped up, then the settings read once.
struct StartSettings {
  LoadedSettingsFile file;
  Settings settings;
};
StartSettings load_settings(const std::optional<std::string>& env_file) {
  const std::string start_dir = current_directory();
  LoadedSettingsFile file = load_settings_file(start_dir, env_file);
  return {std::move(file), read_settings(start_dir)};
}

// The dry run: settings as a run reads them, no log file, one attempt per
// GitLab call (a check reports a failure instead of waiting it out).
int run_check(const std::optional<std::string>& env_file) {
  const StartSettings start = load_settings(env_file);
  const Settings& settings = start.settings;
  mask_secrets_in_log(settings);
  // No log here: the refusal goes where the operator reads the check.
  if (start.file.refusal)
    std::fprintf(stderr, "quillmere: %s\n",
                 logger().shown(settings_file_warning(start.file)).c_str());
  try {
    CurlGlobal curl;
    HttpClient http(10, settings.ca_bundles, settings.temp_dir);
    RemoteContext remote{settings, http, retry_api_call(1, 1)};
    const bool passed = check_run(settings, remote, std::cout);
    std::cout.flush();
    return exit_code(passed ? ExitStatus::Success : ExitStatus::Failure);
  } catch (const std::exception& failure) {
    std::cout.flush();
    std::fprintf(stderr, "quillmere: %s\n", logger().shown(failure.what()).c_str());
    return exit_code(ExitStatus::Failure);
  }
}

// The end of a run as others see it: the failure card (when a client could
// be made) and, unless their paths were refused, the report and the metrics.
void publish_run(const Settings& settings, const RunRecord& record, HttpClient* http,
                 bool outputs_allowed) {
  if (http) notify_run_failures(*http, settings, record);
  if (outputs_allowed) write_run_outputs(settings, record);
}

int run_batch(const std::optional<std::string>& env_file) {
  install_stop_handlers();
  RunRecord record;
  const std::string log_path = join_path(current_directory(), kLogFilePath);
  const StartSettings start = load_settings(env_file);
  const Settings& settings = start.settings;
  // From the first text on, also for a failure card sent without a log.
  mask_secrets_in_log(settings);
  const std::optional<std::string> output_problem = run_output_problem(settings, log_path);

  // Declared out here: the failure card goes out after a fatal error too,
  // and the working copy's lock is held until it and the report are out.
  std::optional<CurlGlobal> curl;
  std::optional<HttpClient> http;
  std::optional<RunLock> lock;
  try {
    setup_logging(settings.log_level, standard_error_is_journal(settings.journal_stream),
                  settings.log_format);
  } catch (const std::exception& failure) {
    const std::string reason = logger().shown(failure.what());
    std::fprintf(stderr, "quillmere: cannot set up logging: %s\n", reason.c_str());
    record.end_fatal("cannot set up logging: " + reason);
    // Without a log, the card is the only word of this run anybody gets.
    try {
      curl.emplace();
      http.emplace(10, settings.ca_bundles, settings.temp_dir);
    } catch (const std::exception&) {
      http.reset();
    }
    publish_run(settings, record, http ? &*http : nullptr, !output_problem);
    return record.exit_status;
  }
  if (start.file.refusal) logger().warning(settings_file_warning(start.file));

  try {
    warn_about_clear_text(settings);
    curl.emplace();
    http.emplace(10, settings.ca_bundles, settings.temp_dir);
    if (output_problem) throw OnboardingError(*output_problem);
    RemoteContext remote{settings, *http, retry_api_call(3, 1)};
    // Written as soon as the run holds the working copy, and again with its
    // files: a run killed later leaves a report that says it never ended,
    // not the last run's.
    process_yaml_files(settings, remote, record, lock,
                       [&] { write_running_report(settings, record); });
    if (const int signal_number = stop_signal())
      record.end_stopped(signal_number);
    else
      record.end_completed(settings.failed_files_exit_status);
  } catch (const RunLockedError& failure) {
    // Another run's working copy: no run of this process's own to report.
    logger().error(std::string("Fatal error: ") + failure.what());
    return exit_code(ExitStatus::Failure);
  } catch (const std::exception& failure) {
    logger().error(std::string("Fatal error: ") + failure.what());
    record.end_fatal(logger().shown(failure.what()));
    note_files_not_started(settings, record);
  }
  publish_run(settings, record, http ? &*http : nullptr, !output_problem);
  return record.exit_status;
}

}  // namespace

int run_quillmere(int argc, char* argv[]) {
  open_missing_standard_descriptors();
  // A console that goes away (a closed pipe on standard error) must not end
  // the run: the failed write is left to the logger and the log file keeps
  // every line. Commands started later get the default handling back.
  std::signal(SIGPIPE, SIG_IGN);
  ProgramOptions options;
  try {
    options = parse_program_options(argc, argv);
  } catch (const UsageError& failure) {
    std::fprintf(stderr, "quillmere: %s\nTry 'quillmere --help'.\n", failure.what());
    return exit_code(ExitStatus::Usage);
  }
  switch (options.mode) {
    case ProgramMode::Help:
      std::fputs(usage_text().c_str(), stdout);
      return exit_code(ExitStatus::Success);
    case ProgramMode::Version:
      std::printf("%s\n", version_text().c_str());
      return exit_code(ExitStatus::Success);
    case ProgramMode::Lint: {
      const bool passed = lint_request_files(options.files, std::cout);
      std::cout.flush();
      return exit_code(passed ? ExitStatus::Success : ExitStatus::Failure);
    }
    case ProgramMode::Check:
      return run_check(options.env_file);
    case ProgramMode::Batch:
      break;
  }
  return run_batch(options.env_file);
}

}  // namespace quillmere

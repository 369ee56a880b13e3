#include "quillmere/app/run_report.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include <nlohmann/json.hpp>

#include "quillmere/remote/token_expiry.h"
#include "quillmere/util/atomic_file.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

using ordered_json = nlohmann::ordered_json;
using WallClock = std::chrono::system_clock;

// Every text leaves the process the way the log shows it.
ordered_json text(const std::string& value) { return logger().shown(value); }

ordered_json text(const std::optional<std::string>& value) {
  return value ? text(*value) : ordered_json();
}

std::string utc_text(WallClock::time_point when) {
  const std::time_t seconds = WallClock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

ordered_json file_json(const FileResult& result) {
  ordered_json file;
  file["file"] = text(result.file);
  file["outcome"] = file_outcome_name(result.outcome);
  file["ticket"] = text(result.ticket);
  file["environment"] = text(result.environment);
  file["project"] = text(result.project);
  file["branch"] = text(result.branch);
  file["target_branch"] = text(result.target_branch);
  file["merge_request"] = nullptr;
  if (result.merge_request) {
    ordered_json merge_request;
    merge_request["iid"] =
        result.merge_request->iid ? ordered_json(*result.merge_request->iid) : ordered_json();
    merge_request["web_url"] = text(result.merge_request->web_url);
    file["merge_request"] = merge_request;
  }
  file["teams"] = result.teams ? ordered_json(teams_delivery_name(*result.teams)) : ordered_json();
  file["moved_to"] = text(result.moved_to);
  file["error"] = text(result.error);
  return file;
}

std::string number_text(double value) {
  char formatted[64];
  std::snprintf(formatted, sizeof formatted, "%.3f", value);
  return formatted;
}

// A label value as the text format needs it: \, " and line feeds escaped.
std::string label_value(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"')
      escaped.append(1, '\\').append(1, c);
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

// One metric: its HELP and TYPE lines, then its samples, each with the
// labels `common` first and its own after them.
void add_metric(std::string& out, const std::string& common, const char* name, const char* help,
                const std::vector<std::pair<std::string, std::string>>& samples) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " gauge\n";
  for (const auto& [labels, value] : samples)
    out += name + ("{" + common + (labels.empty() ? "" : ",") + labels + "}") + " " + value + "\n";
}

// The directory's canonical path and the name: two paths that name one file
// through links or ".." agree; so do hard links that both exist.
std::string file_identity(const std::string& path) {
  const std::string name = last_path_component(path);
  const std::string dir = canonical_path(path.substr(0, path.size() - name.size()));
  return dir.empty() ? path : join_path(dir, name);
}

bool same_file(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (file_identity(a) == file_identity(b)) return true;
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

void write_output(const char* setting, const std::optional<std::string>& shown_as,
                  const std::string& path, const std::string& content) {
  if (path.empty()) return;
  try {
    write_file_atomically(path, content);
  } catch (const std::exception& failure) {
    logger().warning(std::string("⚠️ ") + setting + " " + *shown_as +
                     " was not written: " + failure.what());
  }
}

}  // namespace

std::string run_report_json(const RunRecord& record) {
  ordered_json report;
  report["tool"] = "quillmere";
  report["version"] = QUILLMERE_VERSION;
  const bool running = record.status == RunStatus::Running;
  report["started_at"] = utc_text(record.started_at);
  report["finished_at"] = running ? ordered_json() : ordered_json(utc_text(record.finished_at));
  report["duration_seconds"] =
      running ? ordered_json() : ordered_json(std::round(record.duration_seconds * 1000) / 1000);
  report["status"] = run_status_name(record.status);
  report["exit_status"] = running ? ordered_json() : ordered_json(record.exit_status);
  report["fatal_error"] = text(record.fatal_error);
  report["stopped_by"] = text(record.stopped_by);
  report["succeeded"] = record.succeeded();
  report["failed"] = record.failed();
  report["files"] = ordered_json::array();
  for (const FileResult& result : record.files()) report["files"].push_back(file_json(result));
  report["gitlab_token_expires_at"] = text(record.gitlab_token_expires_at);
  return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string run_metrics_text(const RunRecord& record, const std::string& project_id) {
  const std::string common = "project_id=\"" + label_value(logger().shown(project_id)) + "\"";
  std::string out;
  add_metric(out, common, "quillmere_last_run_timestamp_seconds",
             "When the last quillmere run ended, in seconds since the epoch.",
             {{"", std::to_string(WallClock::to_time_t(record.finished_at))}});
  add_metric(out, common, "quillmere_last_run_duration_seconds",
             "How long the last quillmere run took.", {{"", number_text(record.duration_seconds)}});
  add_metric(out, common, "quillmere_last_run_success",
             "1 when the last quillmere run completed its batch, whatever its files did; 0 "
             "after a fatal error or a stop.",
             {{"", record.status == RunStatus::Completed ? "1" : "0"}});
  std::vector<std::pair<std::string, std::string>> statuses;
  for (RunStatus status : {RunStatus::Completed, RunStatus::Fatal, RunStatus::Stopped})
    statuses.emplace_back(std::string("status=\"") + run_status_name(status) + "\"",
                          record.status == status ? "1" : "0");
  add_metric(out, common, "quillmere_last_run_status",
             "1 for how the last quillmere run ended (completed, fatal or stopped), 0 for the "
             "others.",
             statuses);
  std::vector<std::pair<std::string, std::string>> files;
  for (FileOutcome outcome : kFileOutcomes)
    files.emplace_back(std::string("outcome=\"") + file_outcome_name(outcome) + "\"",
                       std::to_string(record.count(outcome)));
  add_metric(out, common, "quillmere_last_run_files",
             "Request files of the last quillmere run, by outcome.", files);
  if (record.gitlab_token_expires_at)
    if (const std::optional<long long> day = epoch_day_of(*record.gitlab_token_expires_at))
      add_metric(out, common, "quillmere_gitlab_token_expiry_timestamp_seconds",
                 "When the GitLab token expires (midnight UTC of its expiry date), in seconds "
                 "since the epoch.",
                 {{"", std::to_string(*day * 86400)}});
  return out;
}

void write_running_report(const Settings& settings, const RunRecord& record) {
  if (!settings.report_file_path.empty())
    write_output("REPORT_FILE", settings.report_file, settings.report_file_path,
                 run_report_json(record));
}

std::optional<std::string> run_output_problem(const Settings& settings,
                                              const std::string& log_path) {
  struct Output {
    const char* name;
    const std::optional<std::string>& value;
    const std::string& path;
  };
  const Output outputs[] = {{"REPORT_FILE", settings.report_file, settings.report_file_path},
                            {"METRICS_FILE", settings.metrics_file, settings.metrics_file_path}};
  const std::string request_dir = canonical_path(settings.request_dir);
  for (const Output& output : outputs) {
    if (output.path.empty()) continue;
    const auto refuse = [&](const std::string& rule) {
      return std::string(output.name) + " must " + rule + ": " + printable(*output.value);
    };
    struct stat entry {};
    if (::lstat(output.path.c_str(), &entry) == 0 && !S_ISREG(entry.st_mode))
      return refuse("be a regular file");
    if (same_file(output.path, log_path)) return refuse("not be the log file");
    if (&output != &outputs[0] && same_file(output.path, settings.report_file_path))
      return refuse("not be the same file as REPORT_FILE");
    const std::string name = last_path_component(output.path);
    if (!request_dir.empty() && name.ends_with(".yaml") &&
        canonical_path(output.path.substr(0, output.path.size() - name.size())) == request_dir)
      return refuse("not be a request file in YAML_DIR");
  }
  return std::nullopt;
}

void write_run_outputs(const Settings& settings, const RunRecord& record) {
  if (!settings.report_file_path.empty())
    write_output("REPORT_FILE", settings.report_file, settings.report_file_path,
                 run_report_json(record));
  if (!settings.metrics_file_path.empty())
    write_output("METRICS_FILE", settings.metrics_file, settings.metrics_file_path,
                 run_metrics_text(record, settings.project_id.value_or("")));
}

}  // namespace quillmere

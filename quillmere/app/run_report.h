// The end of a run as people and monitors read it: the JSON run report
// (REPORT_FILE) and the metrics in the Prometheus text format (METRICS_FILE).
#pragma once

#include <optional>
#include <string>

#include "quillmere/app/run_record.h"
#include "quillmere/config/settings.h"

namespace quillmere {

/// The run report, as doc/run-report.schema.json describes it. Every text is
/// shown as the log shows it: printable, secrets masked.
std::string run_report_json(const RunRecord& record);

/// The metrics for the node exporter's textfile collector, each with HELP
/// and TYPE. Every sample carries the label project_id (`project_id`, as
/// PROJECT_ID is set), so the files of several instances can lie side by
/// side in one textfile directory.
std::string run_metrics_text(const RunRecord& record, const std::string& project_id);

/// Writes the report and the metrics where the settings ask for them, each
/// replaced atomically. One that cannot be written is logged at WARNING and
/// changes nothing else.
void write_run_outputs(const Settings& settings, const RunRecord& record);

/// Writes the report of a run that has just started ("status": "running"),
/// as write_run_outputs does; the metrics wait for the run's end.
void write_running_report(const Settings& settings, const RunRecord& record);

/// Why REPORT_FILE or METRICS_FILE must not be written where it is set, as
/// the configuration check words it ("REPORT_FILE must be a regular file:
/// VALUE"); nullopt when both may be. Each must be a regular file or absent,
/// and neither the other, the log file `log_path` nor a request file in
/// YAML_DIR.
std::optional<std::string> run_output_problem(const Settings& settings,
                                              const std::string& log_path);

}  // namespace quillmere

// The run: configuration checks, the batch over the request directory and the
// pipeline for one request file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillmere/branch_plan.h"
#include "quillmere/gitlab_client.h"
#include "quillmere/settings.h"

namespace quillmere {

/// The request files of `dir`: the names ending in ".yaml", in the order the
/// directory yields them. Failures name the directory as `shown_as`.
std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as);

/// Refuses a run with missing required settings or missing paths; logs the
/// key settings.
void validate_config(const Settings& settings);

/// What became of one request file that did not fail.
enum class FileOutcome {
  Onboarded,         ///< a new branch, a new merge request, a card
  TakenUp,           ///< an earlier run's branch, now with its merge request and card
  AlreadyOnboarded,  ///< nothing to do: the target holds it, or its merge request is open
};

struct FileResult {
  PlanKind plan;
  FileOutcome outcome;
  /// The merge request created or found; absent when the target already
  /// held the file.
  std::optional<nlohmann::json> merge_request;
};

/// Which of the request files `files` origin's targets already hold (read
/// and parsed quietly; one git process for all of them), after one
/// fetch_origin() when `fetch_first`. Nothing is asked, and nothing fetched,
/// when no file names a request.
OriginTargets compare_request_files_with_origin(const Settings& settings,
                                                const std::vector<std::string>& files,
                                                bool fetch_first);

/// Onboards one request file (a bare name inside the request directory) as
/// its plan says; fails with the reason when it fails.
FileResult process_single_file(const Settings& settings, RemoteContext& remote,
                               const OriginTargets& targets, const std::string& file);
/// The same, with nothing known to be on a target.
FileResult process_single_file(const Settings& settings, RemoteContext& remote,
                               const std::string& file);

/// The whole batch: start checks, every request file in turn, the summary.
void process_yaml_files(const Settings& settings, RemoteContext& remote);

}  // namespace quillmere

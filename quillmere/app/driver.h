// The run: configuration checks, the batch over the request directory and the
// pipeline for one request file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quillmere/app/run_record.h"
#include "quillmere/config/settings.h"
#include "quillmere/git/branch_plan.h"
#include "quillmere/remote/gitlab_client.h"

namespace quillmere {

/// The request files of `dir`: the names ending in ".yaml", in the order the
/// directory yields them. Failures name the directory as `shown_as`.
std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as);

/// After a fatal error that came before the request directory was listed:
/// its request files, recorded as not started, when it can be listed now.
void note_files_not_started(const Settings& settings, RunRecord& record);

/// Refuses a run with missing required settings, missing paths or CA
/// bundles that cannot be used; logs the key settings.
void validate_config(const Settings& settings);

/// Which of the request files `files` origin's targets already hold (read
/// and parsed quietly; one git process for all of them), after one
/// fetch_origin() when `fetch_first`. Nothing is asked, and nothing fetched,
/// when no file names a request.
OriginTargets compare_request_files_with_origin(const Settings& settings,
                                                const std::vector<std::string>& files,
                                                bool fetch_first);

/// Onboards one request file (a bare name inside the request directory) as
/// its plan says; fails with the reason when it fails. `result` learns what
/// the file's handling learns as it goes, and its outcome once the file is
/// done; after a failure it holds what was known by then.
void process_single_file(const Settings& settings, RemoteContext& remote,
                         const OriginTargets& targets, const std::string& file, FileResult& result);
/// The same, with nothing known to be on a target.
void process_single_file(const Settings& settings, RemoteContext& remote, const std::string& file,
                         FileResult& result);

/// The whole batch: start checks, every request file in turn, the summary.
/// `record` gets the token's expiry and every file's result; `progress` is
/// called once the run holds the working copy's lock, and again once its
/// request files are listed.
void process_yaml_files(const Settings& settings, RemoteContext& remote, RunRecord& record,
                        const std::function<void()>& progress = {});

}  // namespace quillmere

// The batch: every request file of the request directory in turn, read at
// its turn, planned, carried out, announced, and the summary.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quillmere/app/run_record.h"
#include "quillmere/config/settings.h"
#include "quillmere/git/branch_plan.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/remote/gitlab_client.h"
#include "quillmere/request/request_file.h"

namespace quillmere {

/// The one check the run and the dry run make before any work; throws the
/// first problem, in this order: "❌ GITLAB_TOKEN not set", a value that
/// cannot be read, "Missing required env vars: …", REPO_PATH or YAML_DIR
/// that do not exist, a CA file that cannot be used, a YAML_DIR that is the
/// working copy or in its git directory, a DONE_DIR where files would come
/// back or land in the repository. Logs nothing.
void check_startup(const Settings& settings);

/// The request files of `dir`: the names ending in ".yaml", in the order the
/// directory yields them. Failures name the directory as `shown_as`.
std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as);

/// After a fatal error that came before the request directory was listed:
/// its request files, recorded as not started, when it can be listed now.
void note_files_not_started(const Settings& settings, RunRecord& record);

/// One listed request file, read once: its value, or the refusal of the
/// read, which the file's turn reports.
struct LoadedRequest {
  std::string name;  ///< the bare name in the request directory
  std::optional<RequestFile> file;
  std::exception_ptr failure;  ///< why it could not be read, when it could not
};

/// Reads the request file at `path` once; its name is the last component.
LoadedRequest load_request(const std::string& path);

/// Which of the request files `names` origin's targets already hold (read
/// one at a time; a few git processes for all of them), after one
/// fetch_origin() when `fetch_first`. Nothing is asked, and nothing
/// fetched, when no file names a request.
OriginTargets compare_request_files_with_origin(const Settings& settings,
                                                const std::vector<std::string>& names,
                                                bool fetch_first);

/// The whole batch: the start-up check, every request file in turn (each
/// read at its turn), the summary. `record` gets the token's expiry and
/// every file's result; `progress` is called once the run holds the
/// working copy's lock, and again once its request files are listed. The
/// lock is left in `lock`, also when the batch ends in an error: the caller
/// holds it until the run's card, report and metrics are out, so that the
/// next run neither reads the card memory before it is written nor has its
/// report overwritten by this one's.
void process_yaml_files(const Settings& settings, RemoteContext& remote, RunRecord& record,
                        std::optional<RunLock>& lock, const std::function<void()>& progress = {});

}  // namespace quillmere

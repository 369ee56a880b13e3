// What one batch run did, recorded as it happens: the run report, the
// metrics and the failure card are all drawn from it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "quillmere/remote/teams_notifier.h"

namespace quillmere {

/// The exit statuses of the program's own; a batch with failed files ends
/// with FAILED_FILES_EXIT_STATUS.
enum class ExitStatus : int {
  Success = 0,   ///< the batch ran (whatever became of its files), or help, version, a check passed
  Failure = 1,   ///< a fatal error, or a check that did not pass
  Usage = 2,     ///< a command line that cannot be read
  Signal = 128,  ///< to which the stopping signal's number is added
};

constexpr int exit_code(ExitStatus status) { return static_cast<int>(status); }

/// What became of one request file.
enum class FileOutcome {
  Onboarded,         ///< a new merge request (on a new branch, or on its own branch again)
  Updated,           ///< its open merge request got the edited request
  TakenUp,           ///< the branch of an earlier run, now with its merge request
  AlreadyOnboarded,  ///< nothing to do: its merge request is open, or the target holds it
  Declined,          ///< its merge request was closed without merging: not proposed again
  Failed,
  NotStarted,  ///< a fatal error or a stop came first
};

/// Every outcome, in the order the report and the metrics list them.
inline constexpr FileOutcome kFileOutcomes[] = {
    FileOutcome::Onboarded,        FileOutcome::Updated,  FileOutcome::TakenUp,
    FileOutcome::AlreadyOnboarded, FileOutcome::Declined, FileOutcome::Failed,
    FileOutcome::NotStarted};

/// "onboarded", "updated", "taken_up", "already_onboarded", "declined",
/// "failed", "not_started".
const char* file_outcome_name(FileOutcome outcome);

/// The merge request a file ended with.
struct MergeRequestRef {
  std::optional<long long> iid;
  std::string web_url;
};

/// One request file as the run handled it. Texts are as the log shows them
/// (printable); absent where the run never learnt them.
struct FileResult {
  std::string file;
  FileOutcome outcome = FileOutcome::NotStarted;
  std::optional<std::string> ticket;
  std::optional<std::string> environment;
  std::optional<std::string> project;
  std::optional<std::string> branch;
  std::optional<std::string> target_branch;
  std::optional<MergeRequestRef> merge_request;
  std::optional<TeamsDelivery> teams;  ///< absent when no card was due
  std::optional<std::string> moved_to;
  std::optional<std::string> error;  ///< the message of its failure
};

/// Running until the run ends: a report that still says so after the run
/// was killed is never taken for the one before.
enum class RunStatus { Running, Completed, Fatal, Stopped };

/// "running", "completed", "fatal", "stopped".
const char* run_status_name(RunStatus status);

class RunRecord {
 public:
  /// A run that starts now.
  RunRecord();

  /// The request files, in processing order, all not started yet.
  void list_files(const std::vector<std::string>& names);
  bool files_listed() const { return files_listed_; }
  std::vector<FileResult>& files() { return files_; }
  const std::vector<FileResult>& files() const { return files_; }

  /// The run's end: the batch completed (its status is
  /// `failed_files_exit_status` when a file failed, 0 otherwise), stopped by
  /// `signal_number`, or ended by a fatal error with `message`.
  void end_completed(int failed_files_exit_status);
  void end_stopped(int signal_number);
  void end_fatal(std::string message);

  int count(FileOutcome outcome) const;
  /// The summary line's numbers: files handled without and with failure (a
  /// declined file is no failure: a person decided it).
  int succeeded() const;
  int failed() const { return count(FileOutcome::Failed); }

  std::chrono::system_clock::time_point started_at;
  std::chrono::system_clock::time_point finished_at;
  double duration_seconds = 0;
  RunStatus status = RunStatus::Running;
  int exit_status = 0;
  std::optional<std::string> fatal_error;
  std::optional<std::string> stopped_by;
  /// The token's expiry date ("YYYY-MM-DD") as GitLab gave it.
  std::optional<std::string> gitlab_token_expires_at;

 private:
  void end(RunStatus ending, int status_code);

  std::chrono::steady_clock::time_point started_steady_;
  std::vector<FileResult> files_;
  bool files_listed_ = false;
};

}  // namespace quillmere

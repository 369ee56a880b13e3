#include "quillmere/app/run_record.h"

#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

const char* file_outcome_name(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::Onboarded:
      return "onboarded";
    case FileOutcome::Updated:
      return "updated";
    case FileOutcome::TakenUp:
      return "taken_up";
    case FileOutcome::AlreadyOnboarded:
      return "already_onboarded";
    case FileOutcome::Declined:
      return "declined";
    case FileOutcome::Failed:
      return "failed";
    case FileOutcome::NotStarted:
      return "not_started";
  }
  return "not_started";
}

const char* run_status_name(RunStatus status) {
  switch (status) {
    case RunStatus::Running:
      return "running";
    case RunStatus::Completed:
      return "completed";
    case RunStatus::Fatal:
      return "fatal";
    case RunStatus::Stopped:
      return "stopped";
  }
  return "fatal";
}

RunRecord::RunRecord()
    : started_at(std::chrono::system_clock::now()),
      finished_at(started_at),
      started_steady_(std::chrono::steady_clock::now()) {}

void RunRecord::list_files(const std::vector<std::string>& names) {
  files_.clear();
  for (const std::string& name : names) {
    FileResult result;
    result.file = printable(name);
    files_.push_back(std::move(result));
  }
  files_listed_ = true;
}

void RunRecord::end(RunStatus ending, int status_code) {
  status = ending;
  exit_status = status_code;
  finished_at = std::chrono::system_clock::now();
  duration_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_steady_).count();
}

void RunRecord::end_completed(int failed_files_exit_status) {
  end(RunStatus::Completed,
      failed() > 0 ? failed_files_exit_status : exit_code(ExitStatus::Success));
}

void RunRecord::end_stopped(int signal_number) {
  stopped_by = stop_signal_name(signal_number);
  end(RunStatus::Stopped, exit_code(ExitStatus::Signal) + signal_number);
}

void RunRecord::end_fatal(std::string message) {
  fatal_error = std::move(message);
  end(RunStatus::Fatal, exit_code(ExitStatus::Failure));
}

int RunRecord::count(FileOutcome outcome) const {
  int counted = 0;
  for (const FileResult& result : files_) counted += result.outcome == outcome ? 1 : 0;
  return counted;
}

int RunRecord::succeeded() const {
  return count(FileOutcome::Onboarded) + count(FileOutcome::Updated) + count(FileOutcome::TakenUp) +
         count(FileOutcome::AlreadyOnboarded) + count(FileOutcome::Declined);
}

}  // namespace quillmere

#include "quillmere/app/batch.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "quillmere/app/done_dir.h"
#include "quillmere/git/branch_plan.h"
#include "quillmere/git/branch_workflow.h"
#include "quillmere/git/git_directory.h"
#include "quillmere/git/git_workspace.h"
#include "quillmere/remote/ca_bundle.h"
#include "quillmere/remote/merge_request_index.h"
#include "quillmere/remote/teams_notifier.h"
#include "quillmere/remote/token_expiry.h"
#include "quillmere/request/request_file.h"
#include "quillmere/util/error.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Request files are written into the root of the working copy and committed:
// a request directory that is the working copy itself, or its git
// directory, would have the tool publish its own repository's files.
void refuse_request_dir_in_repository(const Settings& settings) {
  const std::string request_dir = canonical_path(settings.request_dir);
  const std::string repo_dir = canonical_path(settings.repo_dir);
  if (request_dir.empty() || repo_dir.empty()) return;
  if (request_dir == repo_dir)
    throw OnboardingError("YAML_DIR must not be the working copy itself: " + *settings.yaml_dir);
  const std::string git_dir = canonical_path(find_git_dir(settings.repo_dir));
  if (!git_dir.empty() && (request_dir == git_dir || request_dir.starts_with(git_dir + "/")))
    throw OnboardingError("YAML_DIR must not lie inside the working copy's git directory: " +
                          *settings.yaml_dir);
}

// The file is onboarded whatever happens here: a file that cannot be moved
// stays, and the next run finds its merge request and tries again. Returns
// where it went, as the log shows it.
std::optional<std::string> move_onboarded_file(const Settings& settings, const std::string& path) {
  const std::string name = printable(last_path_component(path));
  try {
    const std::string moved_to =
        *settings.done_dir + "/" + printable(move_to_done_dir(path, settings.done_dir_path));
    logger().info("📁 Moved " + name + " to " + moved_to);
    return moved_to;
  } catch (const OnboardingError& failure) {
    logger().warning(std::string("⚠️ ") + failure.what() + "; it stays in YAML_DIR");
    return std::nullopt;
  }
}

// Logged once the configuration passed: what the run runs against.
void log_configuration(const Settings& settings) {
  Logger& log = logger();
  log.info("✅ Configuration validation passed");
  log.info("REPO_PATH: " + *settings.repo_path);
  log.info("YAML_DIR: " + *settings.yaml_dir);
  log.info("GITLAB_URL: " + *settings.gitlab_url);
  if (!settings.done_dir_path.empty()) log.info("DONE_DIR: " + *settings.done_dir);
  if (settings.origin_sync != OriginSync::PerFile)
    log.info(std::string("ORIGIN_SYNC: ") + origin_sync_name(settings.origin_sync));
}

MergeRequestRef merge_request_ref(const nlohmann::json& mr_data) {
  MergeRequestRef ref;
  const auto iid = mr_data.find("iid");
  if (iid != mr_data.end() && iid->is_number_integer()) ref.iid = iid->get<long long>();
  ref.web_url = web_url_text(mr_data);
  return ref;
}

// The one place that names what a request whose plan was carried out came to.
FileOutcome outcome_of_plan(PlanKind plan) {
  switch (plan) {
    case PlanKind::Onboard:
    case PlanKind::ProposeAgain:
      return FileOutcome::Onboarded;
    case PlanKind::Update:
      return FileOutcome::Updated;
    case PlanKind::TakeUp:
      return FileOutcome::TakenUp;
    case PlanKind::AlreadyOnboarded:  // its merge request open, or the target holds it
      return FileOutcome::AlreadyOnboarded;
    case PlanKind::Declined:
      return FileOutcome::Declined;
    case PlanKind::Refuse:
    case PlanKind::Undecided:
      break;
  }
  return FileOutcome::Failed;
}

// Onboards one request file as its plan says, asking `merge_requests` about
// its branch; fails with the reason when it fails. `result` learns what the
// file's handling learns as it goes, and its outcome once the file is done;
// after a failure it holds what was known by then.
void process_single_file(const Settings& settings, RemoteContext& remote,
                         const OriginTargets& targets, MergeRequestIndex& merge_requests,
                         const LoadedRequest& loaded, FileResult& result) {
  logger().info("\n📄 Processing: " + printable(loaded.name));
  if (loaded.failure) std::rethrow_exception(loaded.failure);
  const RequestFile& request = *loaded.file;
  log_parse_notes(request.parsed.notes);
  request.require_request();
  const std::string& env = request.target;
  const std::string& branch_name = request.branch;
  result.ticket = printable(request.request.ticket);
  result.environment = printable(request.request.environment);
  result.project = printable(request.request.project_name);
  result.branch = printable(branch_name);
  result.target_branch = printable(env);

  const MergeRequestLookups lookups{
      [&] { return merge_requests.open_merge_request(branch_name, env); },
      [&] { return merge_requests.closed_merge_request(branch_name, env); },
      [&] { return merge_requests.listed_closed_merge_request(branch_name, env); }};
  const RequestPlan plan = plan_request(settings, request, targets, lookups, PlanMode::Run);
  const auto announce = [&](const nlohmann::json& mr_data, MergeRequestNews news) {
    result.merge_request = merge_request_ref(mr_data);
    result.teams = send_mr_notification_to_teams(remote.http, settings, mr_data, request, news);
  };
  switch (plan.kind) {
    case PlanKind::Refuse:
    case PlanKind::Undecided:
      throw OnboardingError(plan.reason);
    case PlanKind::AlreadyOnboarded:
      if (plan.open_merge_request) {
        logger().info("✅ Already onboarded: " + branch_name + " has the open merge request " +
                      web_url_text(*plan.open_merge_request));
        result.merge_request = merge_request_ref(*plan.open_merge_request);
      } else {
        logger().info("✅ Already onboarded: " + printable(env) + " already holds " +
                      printable(loaded.name));
      }
      break;
    case PlanKind::Declined:
      // A person said no to exactly this request: it stays where it is, for
      // them to change or remove, and is no failure.
      logger().warning("🚫 Declined: merge request " + web_url_text(*plan.closed_merge_request) +
                       " was closed without merging; change the request file to propose it "
                       "again, or remove it");
      result.merge_request = merge_request_ref(*plan.closed_merge_request);
      result.outcome = FileOutcome::Declined;
      return;
    case PlanKind::Update:
      commit_on_own_branch(settings, request, plan.branch_tip,
                           plan.branch.on_origin.value_or(false));
      logger().info("✏️ Updated merge request: " + web_url_text(*plan.open_merge_request));
      announce(*plan.open_merge_request, MergeRequestNews::Updated);
      break;
    case PlanKind::Onboard:
    case PlanKind::TakeUp:
    case PlanKind::ProposeAgain: {
      if (plan.kind == PlanKind::Onboard)
        create_branch_and_commit(settings, request);
      else if (plan.kind == PlanKind::ProposeAgain)
        commit_on_own_branch(settings, request, plan.branch_tip,
                             plan.branch.on_origin.value_or(false));
      else if (plan.push)
        push_taken_up_branch(settings.children, request, settings.origin_sync);
      announce(create_merge_request(remote, request), MergeRequestNews::Opened);
      break;
    }
  }
  if (!settings.done_dir_path.empty())
    result.moved_to = move_onboarded_file(settings, request.path);
  result.outcome = outcome_of_plan(plan.kind);
}

}  // namespace

void check_startup(const Settings& settings) {
  if (is_missing(settings.gitlab_token)) throw OnboardingError("❌ GITLAB_TOKEN not set");
  if (!settings.invalid_values.empty()) throw OnboardingError(settings.invalid_values.front());
  if (!settings.missing_required.empty())
    throw OnboardingError("Missing required env vars: " + join(settings.missing_required, ", "));
  if (!path_exists(settings.repo_dir))
    throw OnboardingError("REPO_PATH does not exist: " + *settings.repo_path);
  if (!path_exists(settings.request_dir))
    throw OnboardingError("YAML_DIR does not exist: " + *settings.yaml_dir);
  for (const auto& [variable, path] : settings.ca_variables) read_ca_bundle(variable, path);
  refuse_request_dir_in_repository(settings);
  validate_done_dir(settings);
}

LoadedRequest load_request(const std::string& path) {
  LoadedRequest request{last_path_component(path), std::nullopt, nullptr};
  try {
    request.file = load_request_file(path);
  } catch (const std::exception&) {
    request.failure = std::current_exception();
  }
  return request;
}

OriginTargets compare_request_files_with_origin(const Settings& settings,
                                                const std::vector<std::string>& names,
                                                bool fetch_first) {
  // One file at a time, and of each only where it goes: however many large
  // files the request directory holds, no two are held at once.
  std::vector<TargetFile> compared;
  for (const std::string& name : names) {
    const std::string path = join_path(settings.request_dir, name);
    const LoadedRequest loaded = load_request(path);
    if (loaded.file && loaded.file->parsed.request)
      compared.push_back({loaded.file->target, name, path});
  }
  if (compared.empty()) return {};
  if (fetch_first) fetch_origin(settings.children, settings.origin_sync);
  return compare_with_origin(settings, compared);
}

std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as) {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
  if (!listing)
    throw OnboardingError("Cannot list YAML_DIR " + shown_as + ": " + std::strerror(errno));
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name.ends_with(".yaml")) names.push_back(name);
    errno = 0;
  }
  if (errno != 0)
    throw OnboardingError("Cannot list YAML_DIR " + shown_as + ": " + std::strerror(errno));
  return names;
}

void note_files_not_started(const Settings& settings, RunRecord& record) {
  if (record.files_listed() || settings.request_dir.empty()) return;
  try {
    record.list_files(list_request_files(settings.request_dir, *settings.yaml_dir));
  } catch (const std::exception&) {
    // Nothing to list: the report then holds no files.
  }
}

void process_yaml_files(const Settings& settings, RemoteContext& remote, RunRecord& record,
                        std::optional<RunLock>& lock, const std::function<void()>& progress) {
  check_startup(settings);
  log_configuration(settings);
  lock.emplace(validate_git_repo(settings.children, *settings.repo_path, settings.repo_dir));
  if (progress) progress();
  const TokenFacts token = get_token_facts(remote);
  record.gitlab_token_expires_at =
      warn_of_token_expiry(token.expires_at, std::chrono::system_clock::now());
  prepare_done_dir(settings);

  const std::vector<std::string> files =
      list_request_files(settings.request_dir, *settings.yaml_dir);
  record.list_files(files);
  if (progress) progress();
  Logger& log = logger();
  if (files.empty()) {
    log.warning("⚠️ No YAML files found");
    return;
  }
  log.info("Found " + std::to_string(files.size()) + " YAML file(s) to process");
  // Origin is learnt once: a request its target already holds is done
  // without a git command of its own.
  const OriginTargets targets = compare_request_files_with_origin(settings, files, true);
  // This tool's merge requests are listed once, when the first file needs them.
  MergeRequestIndex merge_requests(remote, token.user_id);

  int success_count = 0;
  int failure_count = 0;
  for (size_t index = 0; index < files.size(); ++index) {
    const std::string& file = files[index];
    FileResult& result = record.files()[index];
    // A stop request is honoured between files: the one in progress is done.
    if (stop_signal() != 0) break;
    // JSON log records name the file, its failure line included.
    const FileInLog in_log(printable(file));
    // One file's failure, whatever its kind, is reported and the batch goes on.
    try {
      // Read at its turn, once: one request's bytes are held at a time.
      process_single_file(settings, remote, targets, merge_requests,
                          load_request(join_path(settings.request_dir, file)), result);
      ++success_count;
      continue;
    } catch (const std::exception& failure) {
      result.error = failure.what();
    } catch (...) {
      result.error = "";
    }
    log.error("❌ Failed to process " + printable(file) + ": " + *result.error);
    result.error = log.shown(*result.error);
    result.outcome = FileOutcome::Failed;
    ++failure_count;
  }

  if (const int signal_number = stop_signal()) {
    const size_t left = files.size() - static_cast<size_t>(success_count + failure_count);
    log.warning("🛑 Stopped by " + stop_signal_name(signal_number) + ": " + std::to_string(left) +
                " file(s) left for the next run");
  }
  const std::string rule(50, '=');
  log.info("\n" + rule);
  log.info("Processing complete: " + std::to_string(success_count) + " succeeded, " +
           std::to_string(failure_count) + " failed");
  log.info(rule);
}

}  // namespace quillmere

#include "quillmere/app/preflight.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "quillmere/app/batch.h"
#include "quillmere/app/done_dir.h"
#include "quillmere/git/branch_plan.h"
#include "quillmere/git/git_workspace.h"
#include "quillmere/remote/merge_request_index.h"
#include "quillmere/remote/teams_webhook.h"
#include "quillmere/remote/token_expiry.h"
#include "quillmere/request/onboarding_request.h"
#include "quillmere/request/onboarding_texts.h"
#include "quillmere/request/request_file.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

// Every line passes the logger's guard: secrets masked, control characters
// escaped, whatever a file, a server or git put into it.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  void line(std::string_view text) {
    out_ << logger().shown(text) << '\n';
    started_ = true;
  }
  void field(std::string_view label, std::string_view value) {
    std::string padded(label);
    padded += ':';
    padded.resize(std::max<size_t>(padded.size() + 1, 14), ' ');
    line("   " + padded + std::string(value));
  }
  void verdict(bool passed, std::string_view text) {
    line(std::string(passed ? "   ✅ " : "   ❌ ") + std::string(text));
  }
  // A line with a blank line before it, unless it opens the report.
  void heading(std::string_view text) {
    if (started_) out_ << '\n';
    line(text);
  }

 private:
  std::ostream& out_;
  bool started_ = false;
};

// The block's head for one request file, read once: the request, or the
// refusal a run would meet. False when a run would refuse the file.
bool examine_request_file(Report& report, const std::string& shown_name,
                          const LoadedRequest& loaded) {
  report.heading("📄 " + printable(shown_name));
  try {
    if (loaded.failure) std::rethrow_exception(loaded.failure);
    const RequestFile* file = &*loaded.file;
    const ParsedRequest& parsed = file->parsed;
    if (!parsed.request) {
      report.field("content", parsed.content_problem);
      // A syntax error is the likelier cause: it stands beside the name's verdict.
      const bool syntax = parsed.content_problem.starts_with("YAML syntax error");
      throw InvalidRequestFileError(parsed.name_problem +
                                    (syntax ? " (" + parsed.content_problem + ")" : ""));
    }
    const OnboardingRequest& request = file->request;
    report.field("ticket", printable(request.ticket));
    report.field("environment", printable(request.environment));
    report.field("project", printable(request.project_name));
    report.field("taken from", parsed.from_content
                                   ? "the YAML content"
                                   : "the file name (" + parsed.content_problem + ")");
    report.field("branch", printable(file->branch) + " → " + printable(request.environment));
    validate_branch_name(file->branch);
    validate_branch_name(request.environment);
  } catch (const std::exception& refusal) {
    report.verdict(false, std::string("would be refused: ") + refusal.what());
    return false;
  }
  return true;
}

std::string yes_no(bool value) { return value ? "yes" : "no"; }

// The dry run's block for one file of the request directory: the plan a run
// would make, as the run makes it, without fetching.
bool check_request_file(Report& report, const Settings& settings, MergeRequestIndex& merge_requests,
                        const OriginTargets& targets, const LoadedRequest& loaded) {
  if (!examine_request_file(report, loaded.name, loaded)) return false;
  const RequestFile& request = *loaded.file;
  const std::string& target = request.target;
  const MergeRequestLookups lookups{
      [&] { return merge_requests.open_merge_request(request.branch, target); },
      [&] { return merge_requests.closed_merge_request(request.branch, target); },
      [&] { return merge_requests.listed_closed_merge_request(request.branch, target); }};
  RequestPlan plan;
  try {
    plan = plan_request(settings, request, targets, lookups, PlanMode::Check);
  } catch (const std::exception& failure) {
    report.verdict(false, std::string("would fail: ") + failure.what());
    return false;
  }
  if (plan.kind == PlanKind::AlreadyOnboarded && !plan.open_merge_request) {
    report.verdict(true, "already onboarded: " + printable(target) + " already holds " +
                             printable(loaded.name));
    return true;
  }
  if (plan.kind != PlanKind::Refuse || plan.branch.on_origin || plan.branch.here) {
    const std::string on_origin =
        plan.branch.on_origin ? yes_no(*plan.branch.on_origin) : std::string("not asked");
    report.field("branch exists",
                 "here: " + yes_no(plan.branch.here) + ", on origin: " + on_origin);
  }
  if (plan.target_on_origin)
    report.field("target exists", "here: yes, on origin: " + yes_no(*plan.target_on_origin));

  switch (plan.kind) {
    case PlanKind::Refuse:
      report.verdict(false, "would fail: " + plan.reason);
      return false;
    case PlanKind::Undecided:
      report.verdict(false, "cannot tell: " + plan.reason);
      return false;
    case PlanKind::AlreadyOnboarded:
      report.verdict(true, "already onboarded: the open merge request is " +
                               web_url_text(*plan.open_merge_request));
      return true;
    case PlanKind::Declined:
      // A person's decision, which a run leaves alone: no failure.
      report.line("   🚫 declined: " + web_url_text(*plan.closed_merge_request) +
                  " was closed without merging");
      return true;
    case PlanKind::Update:
      report.verdict(true, "would update merge request " + web_url_text(*plan.open_merge_request));
      return true;
    case PlanKind::ProposeAgain:
      report.verdict(true, "would propose again");
      return true;
    case PlanKind::TakeUp:
      report.verdict(true, std::string("would be taken up: the branch holds this request from an "
                                       "earlier run") +
                               (plan.push ? "; a run pushes it first" : ""));
      return true;
    case PlanKind::Onboard:
      break;
  }
  report.verdict(true, plan.closed_merge_request ? "would propose again" : "would be onboarded");
  return true;
}

// The settings and the working copy; false when a run would stop at once.
bool check_configuration(Report& report, const Settings& settings) {
  report.heading("Configuration");
  try {
    check_startup(settings);
  } catch (const std::exception& failure) {
    const std::string message = failure.what();
    report.line("   " + std::string(message.starts_with("❌") ? "" : "❌ ") + message);
    return false;
  }
  report.field("REPO_PATH", *settings.repo_path);
  report.field("YAML_DIR", *settings.yaml_dir);
  report.field("GITLAB_URL", *settings.gitlab_url);
  if (settings.done_dir_path.empty())
    report.field("DONE_DIR", "not set: onboarded files stay in YAML_DIR");
  else
    report.field(
        "DONE_DIR",
        *settings.done_dir + (path_exists(settings.done_dir_path) ? "" : " (a run creates it)"));
  report.field(
      "ORIGIN_SYNC",
      settings.origin_sync == OriginSync::PerRun
          ? "per-run: branches and targets as the run's one fetch finds them, reviewers "
            "looked up once; each file reaches origin only with its push"
          : "per-file: each file asks origin for its branch and its target, and pulls the target");
  for (const std::string& name : clear_text_url_settings(settings))
    report.line("   ⚠️ " + name +
                " uses plain http: what is sent to it can be read on the way");
  try {
    const WorkingCopyState state =
        inspect_working_copy(settings.children, *settings.repo_path, settings.repo_dir);
    report.field("working copy",
                 "a git repository, on " + (state.current_branch.empty()
                                                ? std::string("a detached HEAD")
                                                : "branch " + printable(state.current_branch)));
    if (state.changed_entries > 0)
      report.line("   ⚠️ " + std::to_string(state.changed_entries) +
                  " uncommitted change(s): a run resets changes to tracked files and stashes "
                  "the rest before each branch");
  } catch (const std::exception& failure) {
    report.line(std::string("   ❌ ") + failure.what());
    return false;
  }
  return true;
}

// What the run's one look-up of the token found; a refusal, which would stop
// a run, is kept for the GitLab section instead of ending the check.
struct TokenLookUp {
  TokenFacts facts;
  std::string refusal;
};

TokenLookUp look_up_token(RemoteContext& remote) {
  try {
    return {get_token_facts(remote), {}};
  } catch (const std::exception& refusal) {
    return {{}, refusal.what()};
  }
}

// Always a line: the date, with the run's warning when it is near, that
// GitLab did not say, or that it refused the token, which would stop a run.
bool report_token_expiry(Report& report, const TokenLookUp& token) {
  if (!token.refusal.empty()) {
    report.verdict(false, token.refusal + ": a run would stop before its first file");
    return false;
  }
  const std::optional<std::string>& expiry = token.facts.expires_at;
  if (!expiry || !epoch_day_of(*expiry)) {
    report.line("   token expiry: GitLab did not say");
    return true;
  }
  const long long days = days_until_expiry(*expiry, std::chrono::system_clock::now());
  if (days <= kTokenExpiryWarningDays)
    report.line("   " + token_expiry_warning(*expiry, days));
  else
    report.line("   token expires on " + *expiry + " (" + std::to_string(days) + " days)");
  return true;
}

// What the listing of this tool's merge requests found, when it ran.
void report_merge_request_listing(Report& report, const MergeRequestIndex& merge_requests) {
  if (!merge_requests.learnt()) return;
  if (merge_requests.listing_failure().empty())
    report.line("   merge requests of this tool: " + std::to_string(merge_requests.open_count()) +
                " open, " + std::to_string(merge_requests.closed_count()) +
                " closed without merging");
  else
    report.line("   ⚠️ this tool's merge requests could not be listed: " +
                merge_requests.listing_failure() + "; each file asked about its own branch");
}

// The token, the project and every reviewer; false when any check failed.
bool check_gitlab(Report& report, RemoteContext& remote, const TokenLookUp& token) {
  report.heading("GitLab");
  bool passed = true;
  const auto text_of = [](const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) return std::string("?");
    return printable(excerpt(found->is_string() ? found->get<std::string>() : found->dump()));
  };
  try {
    const nlohmann::json user = get_current_user(remote);
    report.verdict(true, "token works: user " + text_of(user, "username") + " (" +
                             text_of(user, "name") + ")");
  } catch (const std::exception& failure) {
    report.verdict(false, failure.what());
    passed = false;
  }
  passed = report_token_expiry(report, token) && passed;
  try {
    const nlohmann::json project = get_project(remote);
    report.verdict(true, "project " + *remote.settings.project_id + ": " +
                             text_of(project, "path_with_namespace"));
  } catch (const std::exception& failure) {
    report.verdict(false, failure.what());
    passed = false;
  }
  if (remote.settings.reviewer_usernames.empty())
    report.line("   no REVIEWER_USERNAMES: merge requests get no reviewers");
  for (const std::string& name : remote.settings.reviewer_usernames) {
    try {
      const std::optional<long long> id = get_user_id(remote, name);
      report.verdict(true, "reviewer " + printable(name) + ": user " +
                               (id ? std::to_string(*id) : std::string("without an id")));
    } catch (const std::exception& failure) {
      report.verdict(false, "reviewer " + printable(name) + ": " + failure.what());
      passed = false;
    }
  }
  return passed;
}

}  // namespace

bool check_run(const Settings& settings, RemoteContext& remote, std::ostream& out) {
  Report report(out);
  report.line("quillmere --check: a dry run; nothing is changed, posted or logged");
  if (!check_configuration(report, settings)) {
    report.heading("❌ Check failed: a run would stop before the first request file");
    return false;
  }

  const std::vector<std::string> files =
      list_request_files(settings.request_dir, *settings.yaml_dir);
  report.heading("Request files: " + std::to_string(files.size()) + " in " + *settings.yaml_dir);
  if (files.empty()) report.line("   ⚠️ No YAML files found");
  OriginTargets targets;
  if (!files.empty()) {
    report.line("   compared with origin as last fetched: a dry run does not fetch");
    targets = compare_request_files_with_origin(settings, files, false);
  }
  // The token's user is the author of this tool's merge requests.
  const TokenLookUp token = look_up_token(remote);
  MergeRequestIndex merge_requests(remote, token.facts.user_id);
  size_t onboarded = 0;
  for (const std::string& name : files)
    onboarded += check_request_file(report, settings, merge_requests, targets,
                                    load_request(join_path(settings.request_dir, name)))
                     ? 1
                     : 0;

  const bool remote_passed = check_gitlab(report, remote, token);
  report_merge_request_listing(report, merge_requests);
  report.heading("Teams");
  if (is_missing(settings.teams_webhook_url))
    report.line("   ⚠️ TEAMS_WEBHOOK_URL not set: no card would be posted");
  else
    report.verdict(true, "webhook configured (nothing was posted to it)");
  if (is_retired_connector_webhook(settings.teams_webhook_url.value_or("")))
    report.line(std::string("   ") + kRetiredWebhookWarning);
  if (!is_missing(settings.teams_webhook_url)) report.field("card", teams_card_kind(settings));

  const bool passed = remote_passed && onboarded == files.size();
  if (passed)
    report.heading("✅ Check passed: " + std::to_string(files.size()) +
                   " file(s) would be onboarded");
  else
    report.heading("❌ Check failed: " + std::to_string(onboarded) + " of " +
                   std::to_string(files.size()) + " file(s) would be onboarded" +
                   (remote_passed ? "" : "; GitLab checks failed"));
  return passed;
}

bool lint_request_files(const std::vector<std::string>& paths, std::ostream& out) {
  Report report(out);
  size_t refused = 0;
  for (const std::string& path : paths) {
    if (!last_path_component(path).ends_with(".yaml")) {
      report.heading("📄 " + printable(path));
      report.verdict(false, "would be refused: a run takes only names ending in .yaml");
      ++refused;
      continue;
    }
    if (examine_request_file(report, path, load_request(path)))
      report.verdict(true, "would be accepted");
    else
      ++refused;
  }
  if (refused == 0)
    report.heading("✅ " + std::to_string(paths.size()) + " file(s) would be accepted");
  else
    report.heading("❌ " + std::to_string(refused) + " of " + std::to_string(paths.size()) +
                   " file(s) would be refused");
  return refused == 0;
}

}  // namespace quillmere

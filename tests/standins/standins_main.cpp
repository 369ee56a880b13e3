// quillmere-standins: the GitLab and Teams stand-ins as one program, for trying
// quillmere out in a sandbox. Both listen on 127.0.0.1 only, each on a free
// port, and run until SIGTERM or SIGINT.
//
// Usage:
//   quillmere-standins --state-dir DIR [--cert FILE --key FILE] [--token TOKEN]
//                      [--project-id ID] [--users NAME=ID,NAME=ID...]
//                      [--merge-request-faults FAULT,FAULT...]
//                      [--token-expiry DAYS|never|unknown] [--git-remote DIR]
//
//   --state-dir DIR   where the program writes its state (created if missing):
//                       urls.env              GITLAB_URL=...  (the /api/v4 base)
//                                             TEAMS_WEBHOOK_URL=...  (legacy connector)
//                                             TEAMS_WORKFLOWS_URL=... (Workflows webhook)
//                                             GITLAB_PORT=... TEAMS_PORT=...
//                                           written once both servers listen
//                                           (atomically: its presence means ready)
//                       gitlab-requests.jsonl one JSON object per GitLab request
//                       teams-cards.jsonl     one JSON object per webhook post
//                       teams-runs.jsonl      the Workflows flow's run history,
//                                             one {"succeeded","error"} a run,
//                                             written when the program stops
//                     Records hold method, path, query, headers, the body (as
//                     "json" when it parses, else "body"), status and response;
//                     the token is masked in them. A dropped connection is
//                     recorded with status 0 and an empty response.
//   --cert FILE --key FILE
//                     serve HTTPS with this PEM certificate and key (make them
//                     with scripts/make-test-certs); plain HTTP without them
//   --token TOKEN     the PRIVATE-TOKEN GitLab accepts (default stand-in-token)
//   --project-id ID   the project that exists (default 42)
//   --users LIST      the users GitLab knows (default alice=101,bob=102)
//   --merge-request-faults LIST
//                     what the first merge request creations (POSTs) meet, in
//                     order; the ones after them are served normally:
//                       create_then_drop         created, connection closed unanswered
//                       create_then_stall:SECS   created, 201 sent after SECS seconds
//                       created_non_json         created, 201 with an HTML page
//                       too_many_requests:SECS   429 "Retry-After: SECS", nothing created
//                       drop                     connection closed unanswered, nothing created
//                       server_error             500 with GitLab's JSON, nothing created
//                       bad_gateway              502 with an HTML page, nothing created
//                     e.g. --merge-request-faults create_then_drop,too_many_requests:2
//   --token-expiry DAYS|never|unknown
//                     what GET /personal_access_tokens/self says: the token
//                     expires in DAYS days (default 300), never (expires_at
//                     null), or unknown (404, as an older GitLab answers)
//   --git-remote DIR  the project's repository (the bare remote): merge
//                     requests then carry their source branch's head as sha
//                     and keep it as refs/merge-requests/IID/head there
//   --keep-alive short|service
//                     how long GitLab and Teams keep a connection: short (1 s
//                     idle, 5 requests; the default) or as a service does
//                     (75 s, 1,000 requests)
//   --git-root DIR    also serve the bare repositories under DIR (absolute)
//                     as git does over HTTPS (git http-backend; needs --cert):
//                     urls.env gets GIT_URL=https://127.0.0.1:PORT, and the
//                     repository DIR/NAME is GIT_URL/NAME
//   --one-way-delay-ms MS
//                     puts a far-away network in front of every server: a
//                     proxy that holds what passes MS milliseconds each way
//                     (and a new connection's first bytes one round trip
//                     more, for its TCP handshake). urls.env then names the
//                     proxies, and on stopping the program writes
//                     network.env: NAME_CONNECTIONS and NAME_ROUND_TRIPS for
//                     GITLAB, TEAMS and GIT (see delaying_proxy.h)
//
// Exit status: 0 after a signal, 2 for a bad command line, 1 when a server
// cannot start.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/standins/delaying_proxy.h"
#include "tests/standins/git_http_standin.h"
#include "tests/standins/standin_servers.h"

namespace {

using quillmere::standins::DelayingProxy;
using quillmere::standins::ForcedAnswer;
using quillmere::standins::GitHttpStandin;
using quillmere::standins::GitLabStandin;
using quillmere::standins::GitLabUser;
using quillmere::standins::KeepAlive;
using quillmere::standins::kServiceKeepAlive;
using quillmere::standins::RecordedRequest;
using quillmere::standins::TeamsStandin;

struct CommandLine {
  std::string state_dir;
  std::string cert_file;
  std::string key_file;
  std::string token = "stand-in-token";
  std::string project_id = "42";
  std::string users = "alice=101,bob=102";
  std::string merge_request_faults;
  std::string token_expiry = "300";
  std::string git_remote;
  std::string keep_alive = "short";
  std::string git_root;
  std::string one_way_delay_ms;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "quillmere-standins: " << problem << "\n"
            << "usage: quillmere-standins --state-dir DIR [--cert FILE --key FILE] "
               "[--token TOKEN] [--project-id ID] [--users NAME=ID,...] "
               "[--merge-request-faults FAULT,...] [--token-expiry DAYS|never|unknown] "
               "[--git-remote DIR] [--keep-alive short|service] [--git-root DIR] "
               "[--one-way-delay-ms MS]\n";
  std::exit(2);
}

CommandLine parse_command_line(int argc, char** argv) {
  CommandLine line;
  const std::vector<std::pair<std::string, std::string*>> options = {
      {"--state-dir", &line.state_dir},
      {"--cert", &line.cert_file},
      {"--key", &line.key_file},
      {"--token", &line.token},
      {"--project-id", &line.project_id},
      {"--users", &line.users},
      {"--merge-request-faults", &line.merge_request_faults},
      {"--token-expiry", &line.token_expiry},
      {"--git-remote", &line.git_remote},
      {"--keep-alive", &line.keep_alive},
      {"--git-root", &line.git_root},
      {"--one-way-delay-ms", &line.one_way_delay_ms},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    bool known = false;
    for (const auto& [name, target] : options) {
      if (flag != name) continue;
      if (i + 1 >= argc) usage(flag + " needs a value");
      *target = argv[++i];
      known = true;
    }
    if (!known) usage("unknown argument " + flag);
  }
  if (line.state_dir.empty()) usage("--state-dir is required");
  if (line.cert_file.empty() != line.key_file.empty()) usage("--cert and --key go together");
  if (line.keep_alive != "short" && line.keep_alive != "service")
    usage("--keep-alive wants short or service: " + line.keep_alive);
  if (!line.git_root.empty() && (line.cert_file.empty() || line.git_root.front() != '/'))
    usage("--git-root wants an absolute directory, and --cert and --key");
  return line;
}

std::vector<GitLabUser> parse_users(const std::string& text) {
  std::vector<GitLabUser> users;
  size_t start = 0;
  while (start < text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string entry = text.substr(start, comma - start);
    start = comma + 1;
    if (entry.empty()) continue;
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) usage("--users wants NAME=ID pairs: " + entry);
    GitLabUser user;
    user.username = entry.substr(0, equals);
    try {
      user.id = std::stoll(entry.substr(equals + 1));
    } catch (const std::exception&) {
      usage("--users: not a number in " + entry);
    }
    user.name = user.username;
    user.name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(user.name[0])));
    users.push_back(user);
  }
  return users;
}

std::vector<ForcedAnswer> parse_faults(const std::string& text) {
  std::vector<ForcedAnswer> faults;
  for (size_t start = 0; start < text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    start = comma + 1;
    if (name.empty()) continue;
    std::optional<ForcedAnswer> fault = quillmere::standins::merge_request_faults::named(name);
    if (!fault) usage("--merge-request-faults: unknown fault " + name);
    faults.push_back(std::move(*fault));
  }
  return faults;
}

// Appends one JSON line per record; server threads call it concurrently.
class JsonLines {
 public:
  JsonLines(const std::string& path, std::string secret)
      : stream_(path, std::ios::app), secret_(std::move(secret)) {
    if (!stream_) throw std::runtime_error("cannot open " + path);
  }
  void append(const RecordedRequest& request) {
    const std::string line = request.to_json(secret_).dump(
        -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::lock_guard lock(mutex_);
    stream_ << line << '\n' << std::flush;
  }

 private:
  std::mutex mutex_;
  std::ofstream stream_;
  std::string secret_;
};

// One server as clients reach it: directly, or through its delaying proxy.
struct Reached {
  int server_port = 0;
  std::unique_ptr<DelayingProxy> proxy;

  int port() const { return proxy ? proxy->port() : server_port; }
  // `url` with the server's port replaced by the one clients use.
  std::string url(const std::string& url) const {
    const std::string server = ":" + std::to_string(server_port);
    const size_t at = url.find(server);
    return at == std::string::npos
               ? url
               : url.substr(0, at) + ":" + std::to_string(port()) + url.substr(at + server.size());
  }
};

Reached reach(int server_port, const std::string& one_way_delay_ms) {
  Reached reached{server_port, nullptr};
  if (!one_way_delay_ms.empty()) {
    int delay = 0;
    try {
      delay = std::stoi(one_way_delay_ms);
    } catch (const std::exception&) {
      usage("--one-way-delay-ms wants a number: " + one_way_delay_ms);
    }
    reached.proxy = std::make_unique<DelayingProxy>(server_port, std::chrono::milliseconds(delay));
  }
  return reached;
}

// Written to a partial file and renamed: its presence means complete.
void write_atomically(const std::string& path, const std::string& text) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + partial);
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path);
}

void write_urls(const std::string& dir, const GitLabStandin& gitlab, const TeamsStandin& teams,
                const Reached& to_gitlab, const Reached& to_teams, const Reached* to_git) {
  std::ostringstream out;
  out << "GITLAB_URL=" << to_gitlab.url(gitlab.api_url()) << "\n"
      << "TEAMS_WEBHOOK_URL=" << to_teams.url(teams.webhook_url()) << "\n"
      << "TEAMS_WORKFLOWS_URL=" << to_teams.url(teams.workflows_url()) << "\n"
      << "GITLAB_PORT=" << to_gitlab.port() << "\n"
      << "TEAMS_PORT=" << to_teams.port() << "\n";
  if (to_git) out << "GIT_URL=https://127.0.0.1:" << to_git->port() << "\n";
  write_atomically(dir + "/urls.env", out.str());
}

// What crossed each delaying proxy.
void write_network_counts(const std::string& dir,
                          const std::vector<std::pair<std::string, const Reached*>>& servers) {
  std::ostringstream out;
  for (const auto& [name, reached] : servers) {
    if (!reached || !reached->proxy) continue;
    const DelayingProxy::Counts counts = reached->proxy->counts();
    out << name << "_CONNECTIONS=" << counts.connections << "\n"
        << name << "_ROUND_TRIPS=" << counts.round_trips << "\n";
  }
  write_atomically(dir + "/network.env", out.str());
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv);
  const std::vector<GitLabUser> users = parse_users(line.users);
  const std::vector<ForcedAnswer> faults = parse_faults(line.merge_request_faults);

  // Blocked before any server thread exists, so every thread inherits the mask
  // and the signals wait for sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    ::mkdir(line.state_dir.c_str(), 0755);
    JsonLines gitlab_log(line.state_dir + "/gitlab-requests.jsonl", line.token);
    JsonLines teams_log(line.state_dir + "/teams-cards.jsonl", line.token);
    const quillmere::standins::TlsFiles tls{line.cert_file, line.key_file};

    GitLabStandin::Options gitlab_options;
    gitlab_options.token = line.token;
    gitlab_options.project_id = line.project_id;
    gitlab_options.users = users;
    gitlab_options.tls = tls;
    gitlab_options.git_remote = line.git_remote;
    const KeepAlive keep_alive = line.keep_alive == "service" ? kServiceKeepAlive : KeepAlive{};
    gitlab_options.keep_alive = keep_alive;
    if (line.token_expiry == "never") {
      gitlab_options.token_expires_in_days = std::nullopt;
    } else if (line.token_expiry == "unknown") {
      gitlab_options.token_self_not_found = true;
    } else {
      try {
        gitlab_options.token_expires_in_days = std::stoi(line.token_expiry);
      } catch (const std::exception&) {
        usage("--token-expiry wants a number of days, never or unknown: " + line.token_expiry);
      }
    }
    gitlab_options.observer = [&](const RecordedRequest& request) { gitlab_log.append(request); };
    GitLabStandin gitlab(gitlab_options);
    for (const ForcedAnswer& fault : faults)
      gitlab.force_next(GitLabStandin::Route::kCreateMergeRequest, fault);

    TeamsStandin::Options teams_options;
    teams_options.tls = tls;
    teams_options.keep_alive = keep_alive;
    teams_options.observer = [&](const RecordedRequest& request) { teams_log.append(request); };
    TeamsStandin teams(teams_options);
    std::optional<GitHttpStandin> git;
    if (!line.git_root.empty()) git.emplace(line.git_root, tls);

    const Reached to_gitlab = reach(gitlab.port(), line.one_way_delay_ms);
    const Reached to_teams = reach(teams.port(), line.one_way_delay_ms);
    std::optional<Reached> to_git;
    if (git) to_git = reach(git->port(), line.one_way_delay_ms);
    write_urls(line.state_dir, gitlab, teams, to_gitlab, to_teams, to_git ? &*to_git : nullptr);
    std::cout << "GITLAB_URL=" << to_gitlab.url(gitlab.api_url()) << "\n"
              << "TEAMS_WEBHOOK_URL=" << to_teams.url(teams.webhook_url()) << std::endl;

    int received = 0;
    if (sigwait(&stop_signals, &received) != 0) throw std::runtime_error("sigwait failed");
    std::cout << "quillmere-standins: stopping on signal " << received << std::endl;
    if (!line.one_way_delay_ms.empty())
      write_network_counts(
          line.state_dir,
          {{"GITLAB", &to_gitlab}, {"TEAMS", &to_teams}, {"GIT", to_git ? &*to_git : nullptr}});
    std::ofstream runs(line.state_dir + "/teams-runs.jsonl", std::ios::trunc);
    for (const quillmere::standins::FlowRun& run : teams.runs())
      runs << nlohmann::ordered_json{{"succeeded", run.succeeded}, {"error", run.error}}.dump()
           << '\n';
  } catch (const std::exception& failure) {
    std::cerr << "quillmere-standins: " << failure.what() << "\n";
    return 1;
  }
  return 0;
}

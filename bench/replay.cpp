// quillmere-replay: sends the HTTPS requests of one quillmere run again, as
// the stand-ins recorded them, and reports how long the stand-ins took to
// answer them over one kept-alive connection per server.
//
// Usage:
//   quillmere-replay --report FILE --ca FILE --token TOKEN
//                    --gitlab ORIGIN GITLAB_RECORDS --teams ORIGIN TEAMS_RECORDS
//
//   ORIGIN    https://127.0.0.1:PORT of the stand-in to send to
//   *_RECORDS the stand-ins' gitlab-requests.jsonl and teams-cards.jsonl of a
//             quillmere run: method, path, query, headers and body of every
//             request, in the order received
//   TOKEN     the PRIVATE-TOKEN, which the records hold masked
//
// The requests go out in quillmere's order: the GitLab requests in turn, and
// after each merge request the next Teams card. Bodies are sent byte for byte
// as recorded (a body that does not come out at its recorded Content-Length
// stops the replay), headers as recorded except Host and Content-Length, which
// libcurl writes. Every answer must have the status quillmere got.
//
// Appends one line to the report file:
//
//   http_ms=W kept_alive_ms=K requests=N connections=C
//
//   W  wall time of all requests, as made
//   K  the same requests as if each server kept one connection open for all
//      of them: the sum of the transfer times, less the connection set-up of
//      every connection after the first to a server (the stand-ins close a
//      connection after a few requests, a server in service rarely does)
//   N  requests sent;  C  connections opened
//
// Exit status 0, or 1 when a request fails or is answered differently.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

struct CommandLine {
  std::string report;
  std::string ca_file;
  std::string token;
  std::string gitlab_origin;
  std::string gitlab_records;
  std::string teams_origin;
  std::string teams_records;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "quillmere-replay: " << problem << "\n"
            << "usage: quillmere-replay --report FILE --ca FILE --token TOKEN "
               "--gitlab ORIGIN RECORDS --teams ORIGIN RECORDS\n";
  std::exit(2);
}

CommandLine parse_command_line(int argc, char** argv) {
  CommandLine line;
  const std::vector<std::pair<std::string, std::vector<std::string*>>> options = {
      {"--report", {&line.report}},
      {"--ca", {&line.ca_file}},
      {"--token", {&line.token}},
      {"--gitlab", {&line.gitlab_origin, &line.gitlab_records}},
      {"--teams", {&line.teams_origin, &line.teams_records}},
  };
  for (int i = 1; i < argc; ++i) {
    bool known = false;
    for (const auto& [name, targets] : options) {
      if (argv[i] != name) continue;
      if (i + static_cast<int>(targets.size()) >= argc) usage(name + " needs a value");
      for (std::string* target : targets) *target = argv[++i];
      known = true;
    }
    if (!known) usage(std::string("unknown argument ") + argv[i]);
  }
  for (const auto& [name, targets] : options)
    if (targets.front()->empty()) usage(name + " is required");
  return line;
}

std::vector<Json> read_records(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::vector<Json> records;
  std::string line;
  while (std::getline(file, line))
    if (!line.empty()) records.push_back(Json::parse(line));
  return records;
}

struct CurlGlobal {
  CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw std::runtime_error("cannot initialise libcurl");
  }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// Times in microseconds.
struct Tally {
  long long wall_us = 0;
  long long kept_alive_us = 0;
  int requests = 0;
  int connections = 0;
};

// One server: one easy handle, whose connection cache keeps the connection
// open from one request to the next for as long as the server allows.
class Server {
 public:
  Server(std::string origin, const std::string& ca_file, std::string token)
      : origin_(std::move(origin)), token_(std::move(token)), easy_(curl_easy_init()) {
    if (!easy_) throw std::runtime_error("cannot create a libcurl handle");
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  }

  void send(const Json& record, Tally& tally) {
    const std::string method = record.at("method").get<std::string>();
    const std::string query = record.value("query", "");
    const std::string url =
        origin_ + record.at("path").get<std::string>() + (query.empty() ? "" : "?" + query);
    const std::string body =
        record.contains("json") ? record.at("json").dump() : record.value("body", "");
    const std::string described = method + " " + record.at("path").get<std::string>();

    HeaderList headers;
    auto add = [&](const std::string& header) {
      curl_slist* extended = curl_slist_append(headers.get(), header.c_str());
      if (!extended) throw std::runtime_error("out of memory");
      headers.release();
      headers.reset(extended);
    };
    for (const auto& [name, value] : record.at("headers").items()) {
      const std::string text = value.get<std::string>();
      if (name == "Host") continue;
      if (name == "Content-Length") {
        if (text != std::to_string(body.size()))
          throw std::runtime_error(described + ": the recorded body is " + text +
                                   " bytes, the replayed one " + std::to_string(body.size()));
        continue;
      }
      add(name + ": " + (name == "PRIVATE-TOKEN" && text == "[MASKED]" ? token_ : text));
    }
    // No "100 Continue" round trip; quillmere does not wait for one either.
    add("Expect:");

    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    if (method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST") {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else {
      throw std::runtime_error(described + ": only GET and POST are replayed");
    }

    const auto start = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(easy);
    tally.wall_us += std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    if (code != CURLE_OK) throw std::runtime_error(described + ": " + curl_easy_strerror(code));

    long status = 0;
    long new_connections = 0;
    curl_off_t total_us = 0;
    curl_off_t set_up_us = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &new_connections);
    curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &total_us);
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &set_up_us);
    if (status != record.at("status").get<long>())
      throw std::runtime_error(described + ": answered " + std::to_string(status) +
                               ", quillmere got " + record.at("status").dump());

    // The first connection counts: quillmere has to open one too.
    const bool reopened = new_connections > 0 && opened_ > 0;
    opened_ += static_cast<int>(new_connections);
    tally.kept_alive_us += total_us - (reopened ? set_up_us : 0);
    tally.connections += static_cast<int>(new_connections);
    ++tally.requests;
  }

 private:
  std::string origin_;
  std::string token_;
  std::unique_ptr<CURL, EasyDeleter> easy_;
  int opened_ = 0;
};

bool is_merge_request(const Json& record) {
  const std::string path = record.at("path").get<std::string>();
  return record.at("method") == "POST" && path.ends_with("/merge_requests");
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv);
  try {
    const std::vector<Json> gitlab_records = read_records(line.gitlab_records);
    const std::vector<Json> teams_records = read_records(line.teams_records);
    const CurlGlobal curl;
    Server gitlab(line.gitlab_origin, line.ca_file, line.token);
    Server teams(line.teams_origin, line.ca_file, line.token);

    Tally tally;
    size_t next_card = 0;
    for (const Json& record : gitlab_records) {
      gitlab.send(record, tally);
      if (is_merge_request(record) && next_card < teams_records.size())
        teams.send(teams_records[next_card++], tally);
    }
    while (next_card < teams_records.size()) teams.send(teams_records[next_card++], tally);

    char figures[160];
    std::snprintf(
        figures, sizeof figures, "http_ms=%.1f kept_alive_ms=%.1f requests=%d connections=%d\n",
        static_cast<double>(tally.wall_us) / 1000.0,
        static_cast<double>(tally.kept_alive_us) / 1000.0, tally.requests, tally.connections);
    std::ofstream report(line.report, std::ios::app);
    report << figures;
    if (!report.flush()) throw std::runtime_error("cannot write " + line.report);
  } catch (const std::exception& failure) {
    std::cerr << "quillmere-replay: " << failure.what() << "\n";
    return 1;
  }
  return 0;
}

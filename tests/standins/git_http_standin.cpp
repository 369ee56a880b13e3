#include "tests/standins/git_http_standin.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "quillmere/util/file_descriptor.h"
#include "tests/standins/loopback_server.h"

extern char** environ;

namespace quillmere::standins {

namespace {

struct Pipe {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

Pipe make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("git stand-in: cannot make a pipe");
  return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// The CGI environment of one request (RFC 3875), as a web server gives it to
// git http-backend, on top of the stand-in's own.
std::vector<std::string> cgi_environment(const std::string& root, const httplib::Request& request) {
  const auto question = request.target.find('?');
  const std::pair<const char*, std::string> variables[] = {
      {"GIT_PROJECT_ROOT", root},
      {"GIT_HTTP_EXPORT_ALL", "1"},
      {"REMOTE_USER", "onboarding"},  // an authenticated user may push
      {"REMOTE_ADDR", request.remote_addr},
      {"REQUEST_METHOD", request.method},
      {"PATH_INFO", request.path},
      {"QUERY_STRING", question == std::string::npos ? "" : request.target.substr(question + 1)},
      {"CONTENT_TYPE", request.get_header_value("Content-Type")},
      // httplib has undone any Content-Encoding and chunking already.
      {"CONTENT_LENGTH", std::to_string(request.body.size())},
      {"HTTP_GIT_PROTOCOL", request.get_header_value("Git-Protocol")},
      {"GIT_PROTOCOL", request.get_header_value("Git-Protocol")},
  };
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view inherited(*entry);
    bool replaced = false;
    for (const auto& variable : variables)
      replaced = replaced || inherited.starts_with(std::string(variable.first) + "=");
    if (!replaced) env.emplace_back(inherited);
  }
  for (const auto& [name, value] : variables) env.push_back(std::string(name) + "=" + value);
  return env;
}

// Runs git http-backend on `body`; its whole output (CGI headers and body).
std::string run_backend(const std::vector<std::string>& env, const std::string& body) {
  Pipe input = make_pipe();
  Pipe output = make_pipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.read_end.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, output.write_end.get(), 1);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char git[] = "git";
  char backend[] = "http-backend";
  char* argv[] = {git, backend, nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "git", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("git stand-in: cannot start git http-backend");
  input.read_end.reset();
  output.write_end.reset();

  // Fed from a thread of its own, so that neither side waits on a full pipe.
  std::thread feeder([fd = input.write_end.get(), &body] {
    for (size_t sent = 0; sent < body.size();) {
      const ssize_t n = ::write(fd, body.data() + sent, body.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  });
  std::string produced;
  char buffer[64 * 1024];
  for (ssize_t n; (n = ::read(output.read_end.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0) break;
    produced.append(buffer, static_cast<size_t>(n));
  }
  feeder.join();
  input.write_end.reset();
  int status = 0;
  ::waitpid(child, &status, 0);
  return produced;
}

// The CGI answer as an HTTP answer: "Status:" and the other header lines,
// a blank line, the body.
void answer_from_cgi(const std::string& produced, httplib::Response& response) {
  size_t end = produced.find("\r\n\r\n");
  size_t body_start = end + 4;
  if (end == std::string::npos) {
    end = produced.find("\n\n");
    body_start = end + 2;
  }
  if (end == std::string::npos) {
    response.status = 502;
    response.set_content("git http-backend gave no answer", "text/plain");
    return;
  }
  std::string content_type = "application/octet-stream";
  response.status = 200;
  for (size_t start = 0; start < end;) {
    size_t line_end = produced.find('\n', start);
    if (line_end == std::string::npos || line_end > end) line_end = end;
    std::string line = produced.substr(start, line_end - start);
    start = line_end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    const std::string value = line.substr(colon + 2);
    if (name == "Status")
      response.status = std::stoi(value);
    else if (name == "Content-Type")
      content_type = value;
    else if (name != "Content-Length")
      response.set_header(name, value);
  }
  response.set_content(produced.substr(body_start), content_type.c_str());
}

}  // namespace

struct GitHttpStandin::Impl {
  std::string root;
  std::unique_ptr<LoopbackServer> server;
};

GitHttpStandin::GitHttpStandin(std::string root, const TlsFiles& tls)
    : impl_(std::make_unique<Impl>()) {
  impl_->root = std::move(root);
  impl_->server = std::make_unique<LoopbackServer>(
      tls, kServiceKeepAlive,
      [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
        answer_from_cgi(run_backend(cgi_environment(impl->root, request), request.body), response);
      });
}

GitHttpStandin::~GitHttpStandin() { impl_->server.reset(); }

int GitHttpStandin::port() const { return impl_->server->port(); }
std::string GitHttpStandin::base_url() const { return impl_->server->base_url(); }

}  // namespace quillmere::standins

#include "tests/standins/loopback_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace quillmere::standins {

namespace {

// "ADDRESS:PORT" of an IPv4 socket address; empty for anything else.
std::string endpoint_text(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET) return "";
  const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) == nullptr) return "";
  return std::string(text) + ":" + std::to_string(ntohs(ipv4.sin_port));
}

// Shuts down the connection `request` came on, so that no answer reaches the
// client. httplib does not hand its socket to handlers, so it is found among
// the process's descriptors by its two ends, which name one connection only
// (the client's own socket, when it is in this process, has them swapped).
void drop_connection(const httplib::Request& request) {
  const std::string local = request.local_addr + ":" + std::to_string(request.local_port);
  const std::string peer = request.remote_addr + ":" + std::to_string(request.remote_port);
  const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), ::closedir);
  if (!fds) throw std::runtime_error("stand-in: cannot list /proc/self/fd to drop a connection");
  while (const dirent* entry = ::readdir(fds.get())) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_storage ours{}, theirs{};
    socklen_t ours_size = sizeof ours, theirs_size = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ours_size) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirs_size) != 0)
      continue;
    if (endpoint_text(ours) == local && endpoint_text(theirs) == peer) {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
  throw std::runtime_error("stand-in: cannot find the connection from " + peer + " to drop it");
}

}  // namespace

LoopbackServer::LoopbackServer(const TlsFiles& tls, KeepAlive keep_alive, Handler handler) {
  if (tls.enabled()) {
    auto tls_server =
        std::make_unique<httplib::SSLServer>(tls.cert_file.c_str(), tls.key_file.c_str());
    // No TLS 1.3 session tickets: the server sends them unasked after the
    // handshake, and a client slow to send its first request would see them
    // counted as a round trip of its own by a delaying proxy in front.
    if (tls_server->is_valid()) ::SSL_CTX_set_num_tickets(tls_server->ssl_context(), 0);
    server_ = std::move(tls_server);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid())
    throw std::runtime_error("stand-in: cannot load certificate " + tls.cert_file + " and key " +
                             tls.key_file);

  // Idle keep-alive connections hold a worker until they time out, also
  // while the server stops.
  server_->set_keep_alive_timeout(keep_alive.idle_seconds);
  server_->set_keep_alive_max_count(static_cast<size_t>(keep_alive.requests));
  // Header and body go out in separate writes; without this every answer
  // waits for a delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  const std::string everything = ".*";
  server_->Get(everything, handler);
  server_->Post(everything, handler);
  server_->Put(everything, handler);
  server_->Patch(everything, handler);
  server_->Delete(everything, handler);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("stand-in: cannot bind a port on 127.0.0.1");
  base_url_ =
      std::string(tls.enabled() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);

  thread_ = std::thread([server = server_.get()] {
    // The worker threads inherit this mask: writing to a connection the
    // client has closed (or a dropped one) then fails with EPIPE rather than
    // killing the process, which OpenSSL's writes would otherwise do.
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
    server->listen_after_bind();
  });
  // stop() is ignored until the accept loop runs, so wait for it (bounded).
  for (int i = 0; i < 500 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!server_->is_running()) {
    thread_.detach();
    throw std::runtime_error("stand-in: the server did not start");
  }
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();  // cuts delayed answers short
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void LoopbackServer::carry_out(const httplib::Request& request, const ForcedAnswer& forced) {
  if (forced.delay_seconds > 0) {
    std::unique_lock lock(stop_mutex_);
    stop_signal_.wait_for(lock, std::chrono::seconds(forced.delay_seconds),
                          [this] { return stopping_; });
  }
  if (forced.drop_connection) drop_connection(request);
}

RecordedRequest record_exchange(const httplib::Request& request, const httplib::Response& response,
                                const ForcedAnswer* forced) {
  RecordedRequest recorded;
  recorded.received = std::chrono::steady_clock::now();
  recorded.client = request.remote_addr + ":" + std::to_string(request.remote_port);
  recorded.method = request.method;
  recorded.path = request.path;
  const auto question = request.target.find('?');
  if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
  for (const auto& [name, value] : request.params) recorded.params.emplace_back(name, value);
  for (const auto& [name, value] : request.headers) {
    // httplib files the peer's address among the headers; it was not sent.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT")
      continue;
    recorded.headers.emplace_back(name, value);
  }
  recorded.body = request.body;
  if (forced == nullptr || !forced->drop_connection) {
    recorded.status = response.status;
    recorded.response_body = response.body;
  }
  return recorded;
}

void answer(httplib::Response& response, const ForcedAnswer& forced) {
  response.status = forced.status;
  if (forced.generated_body_bytes == 0) {
    response.set_content(forced.body, forced.content_type.c_str());
  } else {
    // Made while sent, so that a huge or endless answer costs the stand-in
    // no memory; it stops when the client stops reading.
    const size_t total = forced.generated_body_bytes == kEndlessBody
                             ? static_cast<size_t>(kEndlessBodyLimit)
                             : static_cast<size_t>(forced.generated_body_bytes);
    const auto filler = std::make_shared<const std::string>(64 * 1024, 'x');
    if (forced.generated_body_bytes == kEndlessBody) {
      response.set_chunked_content_provider(
          forced.content_type, [filler, total](size_t offset, httplib::DataSink& sink) {
            if (!sink.write(filler->data(), filler->size())) return false;
            if (offset + filler->size() >= total) sink.done();
            return true;
          });
    } else {
      response.set_content_provider(
          total, forced.content_type, [filler](size_t, size_t length, httplib::DataSink& sink) {
            return sink.write(filler->data(), std::min(filler->size(), length));
          });
    }
  }
  for (const auto& [name, value] : forced.headers) response.set_header(name, value);
}

void answer_json(httplib::Response& response, int status, const nlohmann::ordered_json& body) {
  answer(response, {status, body.dump(), "application/json"});
}

}  // namespace quillmere::standins

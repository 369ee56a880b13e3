#include "tests/standins/loopback_server.h"

#include <chrono>
#include <stdexcept>

namespace quillmere::standins {

LoopbackServer::LoopbackServer(const TlsFiles& tls, Handler handler) {
  if (tls.enabled()) {
    server_ = std::make_unique<httplib::SSLServer>(tls.cert_file.c_str(), tls.key_file.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid())
    throw std::runtime_error("stand-in: cannot load certificate " + tls.cert_file + " and key " +
                             tls.key_file);

  // Idle keep-alive connections hold a worker; a short limit keeps stopping
  // quick while a client still has its connection open.
  server_->set_keep_alive_timeout(1);
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

  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // stop() is ignored until the accept loop runs, so wait for it (bounded).
  for (int i = 0; i < 500 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!server_->is_running()) {
    thread_.detach();
    throw std::runtime_error("stand-in: the server did not start");
  }
}

LoopbackServer::~LoopbackServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

RecordedRequest record_exchange(const httplib::Request& request,
                                const httplib::Response& response) {
  RecordedRequest recorded;
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
  recorded.status = response.status;
  recorded.response_body = response.body;
  return recorded;
}

void answer(httplib::Response& response, const ForcedAnswer& forced) {
  response.status = forced.status;
  response.set_content(forced.body, forced.content_type.c_str());
}

void answer_json(httplib::Response& response, int status, const nlohmann::ordered_json& body) {
  answer(response, {status, body.dump(), "application/json"});
}

}  // namespace quillmere::standins

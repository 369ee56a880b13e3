// The part the stand-ins share: an httplib server on 127.0.0.1 with a free
// port, served from its own thread, and the recording of requests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "tests/standins/standin_servers.h"

namespace quillmere::standins {

class LoopbackServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  /// Binds and starts serving every method and path with `handler`. Throws
  /// std::runtime_error when the certificate cannot be loaded or no port can
  /// be bound.
  LoopbackServer(const TlsFiles& tls, Handler handler);
  /// Stops serving and waits for the server thread.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  /// "http(s)://127.0.0.1:PORT"
  const std::string& base_url() const { return base_url_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
  std::string base_url_;
};

/// The request as received, with the answer already set in `response`.
RecordedRequest record_exchange(const httplib::Request& request, const httplib::Response& response);

/// Sets status, body and content type.
void answer(httplib::Response& response, const ForcedAnswer& forced);
void answer_json(httplib::Response& response, int status, const nlohmann::ordered_json& body);

}  // namespace quillmere::standins

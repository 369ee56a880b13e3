// The part the stand-ins share: an httplib server on 127.0.0.1 with a free
// port, served from its own thread, and the recording of requests.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
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
  LoopbackServer(const TlsFiles& tls, KeepAlive keep_alive, Handler handler);
  /// Stops serving and waits for the server thread.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  /// "http(s)://127.0.0.1:PORT"
  const std::string& base_url() const { return base_url_; }

  /// The part of a forced answer that comes after the answer is set and the
  /// request recorded: its delay, then dropping the connection. Call it from
  /// the handler without holding locks.
  void carry_out(const httplib::Request& request, const ForcedAnswer& forced);

 private:
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
  std::string base_url_;
};

/// The request as received, with the answer already set in `response`, or
/// with status 0 and no answer when `forced` drops the connection.
RecordedRequest record_exchange(const httplib::Request& request, const httplib::Response& response,
                                const ForcedAnswer* forced = nullptr);

/// Sets status, body, content type and the extra headers.
void answer(httplib::Response& response, const ForcedAnswer& forced);
void answer_json(httplib::Response& response, int status, const nlohmann::ordered_json& body);

}  // namespace quillmere::standins

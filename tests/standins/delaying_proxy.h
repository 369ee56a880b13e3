// A far-away network in front of a server on 127.0.0.1: a TCP proxy that
// holds what passes for a fixed time in each direction and counts the
// connections and round trips that cross it. TLS passes through untouched,
// so the client still talks to the server itself.
#pragma once

#include <chrono>
#include <memory>

namespace quillmere::standins {

class DelayingProxy {
 public:
  struct Counts {
    int connections = 0;
    /// The times a client waited for the far side: one per connection for
    /// its TCP handshake, and one each time the server sends after the
    /// client has sent (what a client sends while closing does not count).
    int round_trips = 0;
  };

  /// Listens on 127.0.0.1 (a free port) and forwards every connection to
  /// 127.0.0.1:`target_port`, delivering what passes `one_way` after it
  /// arrived, in each direction. A client's first bytes wait a round trip
  /// more, as its TCP handshake would have taken. Throws std::runtime_error
  /// when it cannot listen.
  DelayingProxy(int target_port, std::chrono::milliseconds one_way);
  /// Stops accepting, ends every connection and waits for its threads.
  ~DelayingProxy();
  DelayingProxy(const DelayingProxy&) = delete;
  DelayingProxy& operator=(const DelayingProxy&) = delete;

  int port() const;
  Counts counts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::standins

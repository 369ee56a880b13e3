#include "tests/standins/delaying_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "quillmere/util/file_descriptor.h"

namespace quillmere::standins {

namespace {

using Clock = std::chrono::steady_clock;

FileDescriptor loopback_socket() {
  FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.is_open()) throw std::runtime_error("delaying proxy: cannot create a socket");
  // Every chunk goes out when it is due, not when Nagle lets it.
  const int on = 1;
  ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return socket;
}

sockaddr_in loopback_address(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool send_all(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct DelayingProxy::Impl {
  // One direction of one connection: a reader that stamps what arrives with
  // the time it is due, and a writer that delivers it then.
  struct Pump {
    struct Chunk {
      Clock::time_point due;
      std::string bytes;  // empty: the sender closed its side
    };
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> queue;
    bool stopping = false;
    std::thread reader;
    std::thread writer;
  };

  struct Connection {
    FileDescriptor client;
    FileDescriptor server;
    Clock::time_point opened;
    bool client_sent_last = false;  // guarded by Impl::mutex
    bool client_closed = false;     // guarded by Impl::mutex
    Pump to_server;
    Pump to_client;
    std::atomic<int> pumps_ended{0};

    void cut() const {
      ::shutdown(client.get(), SHUT_RDWR);
      ::shutdown(server.get(), SHUT_RDWR);
    }
  };

  int target_port;
  std::chrono::milliseconds one_way;
  FileDescriptor listener;
  FileDescriptor wake_read;
  FileDescriptor wake_write;
  int port = 0;
  std::thread acceptor;
  mutable std::mutex mutex;
  Counts counts;
  std::list<std::unique_ptr<Connection>> connections;

  // What arrived from one side, counted while it arrives.
  void arrived(Connection& connection, bool from_client, bool closed) {
    std::lock_guard lock(mutex);
    if (from_client) {
      connection.client_sent_last = !closed || connection.client_sent_last;
      connection.client_closed = connection.client_closed || closed;
    } else if (!closed) {
      if (connection.client_sent_last && !connection.client_closed) ++counts.round_trips;
      connection.client_sent_last = false;
    }
  }

  void read_side(Connection& connection, Pump& pump, int from, bool from_client) {
    const Clock::time_point not_before =
        from_client ? connection.opened + 2 * one_way : Clock::time_point();
    std::string buffer(64 * 1024, '\0');
    for (;;) {
      const ssize_t n = ::read(from, buffer.data(), buffer.size());
      const bool closed = n <= 0;
      arrived(connection, from_client, closed);
      {
        std::lock_guard lock(pump.mutex);
        pump.queue.push_back({std::max(Clock::now(), not_before) + one_way,
                              closed ? std::string() : buffer.substr(0, static_cast<size_t>(n))});
      }
      pump.ready.notify_all();
      if (closed) return;
    }
  }

  static void write_side(Connection& connection, Pump& pump, int to) {
    std::unique_lock lock(pump.mutex);
    for (;;) {
      pump.ready.wait(lock, [&] { return pump.stopping || !pump.queue.empty(); });
      if (pump.stopping) break;
      const Clock::time_point due = pump.queue.front().due;
      if (pump.ready.wait_until(lock, due, [&] { return pump.stopping; })) break;
      const std::string bytes = std::move(pump.queue.front().bytes);
      pump.queue.pop_front();
      lock.unlock();
      if (bytes.empty()) {
        ::shutdown(to, SHUT_WR);
        break;
      }
      if (!send_all(to, bytes)) {
        connection.cut();
        break;
      }
      lock.lock();
    }
    if (lock.owns_lock()) lock.unlock();
    if (++connection.pumps_ended == 2) connection.cut();
  }

  void start(Connection& connection) {
    const auto begin = [this, &connection](Pump& pump, int from, int to, bool from_client) {
      pump.reader = std::thread([this, &connection, &pump, from, from_client] {
        read_side(connection, pump, from, from_client);
      });
      pump.writer = std::thread([&connection, &pump, to] { write_side(connection, pump, to); });
    };
    begin(connection.to_server, connection.client.get(), connection.server.get(), true);
    begin(connection.to_client, connection.server.get(), connection.client.get(), false);
  }

  static void stop(Connection& connection) {
    connection.cut();
    for (Pump* pump : {&connection.to_server, &connection.to_client}) {
      {
        std::lock_guard lock(pump->mutex);
        pump->stopping = true;
      }
      pump->ready.notify_all();
      if (pump->reader.joinable()) pump->reader.join();
      if (pump->writer.joinable()) pump->writer.join();
    }
  }

  // Joins the threads of connections that have ended on both sides.
  void reap_ended() {
    std::list<std::unique_ptr<Connection>> ended;
    {
      std::lock_guard lock(mutex);
      for (auto it = connections.begin(); it != connections.end();) {
        const auto next = std::next(it);
        if ((*it)->pumps_ended == 2) ended.splice(ended.end(), connections, it);
        it = next;
      }
    }
    for (const auto& connection : ended) stop(*connection);
  }

  void accept_loop() {
    for (;;) {
      pollfd fds[2] = {{listener.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      FileDescriptor client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client.is_open()) continue;
      reap_ended();
      auto connection = std::make_unique<Connection>();
      connection->opened = Clock::now();
      connection->client = std::move(client);
      connection->server = loopback_socket();
      const sockaddr_in target = loopback_address(target_port);
      if (::connect(connection->server.get(), reinterpret_cast<const sockaddr*>(&target),
                    sizeof target) != 0)
        continue;  // the client sees its connection closed
      const int on = 1;
      ::setsockopt(connection->client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      std::lock_guard lock(mutex);
      ++counts.connections;
      ++counts.round_trips;  // the TCP handshake
      start(*connection);
      connections.push_back(std::move(connection));
    }
  }
};

DelayingProxy::DelayingProxy(int target_port, std::chrono::milliseconds one_way)
    : impl_(std::make_unique<Impl>()) {
  impl_->target_port = target_port;
  impl_->one_way = one_way;
  impl_->listener = loopback_socket();
  sockaddr_in address = loopback_address(0);
  socklen_t size = sizeof address;
  if (::bind(impl_->listener.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
      ::listen(impl_->listener.get(), 64) != 0 ||
      ::getsockname(impl_->listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("delaying proxy: cannot listen on 127.0.0.1");
  impl_->port = ntohs(address.sin_port);
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) throw std::runtime_error("delaying proxy: cannot make a pipe");
  impl_->wake_read = FileDescriptor(wake[0]);
  impl_->wake_write = FileDescriptor(wake[1]);
  impl_->acceptor = std::thread([impl = impl_.get()] { impl->accept_loop(); });
}

DelayingProxy::~DelayingProxy() {
  [[maybe_unused]] const ssize_t woken = ::write(impl_->wake_write.get(), "x", 1);
  impl_->acceptor.join();
  std::list<std::unique_ptr<Impl::Connection>> open;
  {
    std::lock_guard lock(impl_->mutex);
    open.swap(impl_->connections);
  }
  for (const auto& connection : open) Impl::stop(*connection);
}

int DelayingProxy::port() const { return impl_->port; }

DelayingProxy::Counts DelayingProxy::counts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counts;
}

}  // namespace quillmere::standins

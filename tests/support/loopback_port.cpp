#include "tests/support/loopback_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "quillmere/util/file_descriptor.h"

namespace quillmere::testing {

int unused_loopback_port() {
  const FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // The discard port, in the unlikely case the kernel gives none.
  int port = 9;
  if (socket.is_open() &&
      ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  return port;
}

}  // namespace quillmere::testing

#include "loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvandel::testing {

int OpenLoopbackListener(int family, uint16_t& port, int backlog, int flags) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

}  // namespace corvandel::testing

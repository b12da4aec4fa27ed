#include "net/peer.h"

#include <sys/socket.h>

namespace mq::net {

std::string peer_of(int socket_fd) {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return "unknown peer";
  return "uid " + std::to_string(cred.uid) + " pid " + std::to_string(cred.pid);
}

}  // namespace mq::net

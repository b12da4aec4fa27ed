#pragma once

#include <string>

namespace mq::net {

// "uid U pid P" of the process at the other end of a local socket, for the
// log lines that say who did what; "unknown peer" when the system won't say.
std::string peer_of(int socket_fd);

}  // namespace mq::net

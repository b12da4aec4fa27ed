#pragma once

#include <string>

#include "util/unique_fd.h"

// Blocking counterpart of the framed link, for tools and tests: the same
// frames (4-byte host-order length, body, at most one descriptor with the
// body) over a connected local stream socket.
namespace mq::net {

// Throws std::system_error on failure.
void write_frame(int sock, const std::string& body, int fd = -1);

// Reads one frame. Returns false on a clean end of file before a frame
// starts. Throws std::system_error on failure (EMSGSIZE for a descriptor
// with the length bytes or more than one with the body), std::runtime_error
// on an invalid length or when `timeout_ms` (>= 0) passes without data.
bool read_frame(int sock, std::string& body, mq::util::unique_fd_t& fd, int timeout_ms = -1);

// Connects to a local stream socket path; throws std::system_error.
mq::util::unique_fd_t connect_local(const std::string& path);

}  // namespace mq::net

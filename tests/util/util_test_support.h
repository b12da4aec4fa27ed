#pragma once

// Descriptor checks of the util tests.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "support/common.h"
#include "support/peers.h"

namespace mq::test {

struct pipe_t {
  pipe_t() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read = util::unique_fd_t(p[0]);
    write = util::unique_fd_t(p[1]);
  }
  util::unique_fd_t read;
  util::unique_fd_t write;

  // Closes our write end; true when no copy of it is left open anywhere
  // (the read end then reports end of file).
  bool all_writers_gone() {
    write.reset();
    pollfd p{read.get(), POLLIN, 0};
    char c;
    return ::poll(&p, 1, 0) == 1 && ::read(read.get(), &c, 1) == 0;
  }
};

inline std::string length_bytes(std::uint32_t length) { return std::string(reinterpret_cast<char*>(&length), 4); }

inline bool same_file(int a, int b) {
  struct stat sa, sb;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// True when the other end of a stream socket has been closed; never blocks.
inline bool other_end_closed(int sock) {
  char buf[256];
  for (;;) {
    const ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

}  // namespace mq::test

#pragma once

// Descriptor checks of the util tests, beyond tests/support.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "support/common.h"
#include "support/peers.h"
#include "util/unique_fd.h"

namespace mq::test {

using namespace std::chrono_literals;

// Runs every handler that is ready now, and those they make ready, until
// nothing is left to do at this moment.
inline void drain(boost::asio::io_context& io) {
  for (;;) {
    if (io.stopped()) io.restart();
    if (io.poll() == 0) break;
  }
  if (io.stopped()) io.restart();
}

struct pipe_t {
  pipe_t() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    read = util::unique_fd_t(p[0]);
    write = util::unique_fd_t(p[1]);
  }
  util::unique_fd_t read;
  util::unique_fd_t write;

  // True when every copy of the write end, in this process or passed
  // anywhere, has been closed: the read end reports end of file.
  bool writers_gone() const {
    pollfd p{read.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    if (!(p.revents & POLLHUP)) return false;
    char c;
    return ::read(read.get(), &c, 1) == 0;
  }
};

inline void send_length(int sock, std::uint32_t length, std::vector<int> fds = {}) {
  send_raw(sock, &length, sizeof(length), std::move(fds));
}

// The host-order bytes of a frame's length field.
inline std::string length_bytes(std::uint32_t length) {
  return std::string(reinterpret_cast<const char*>(&length), sizeof(length));
}

// True when the other end of a stream socket has been closed (end of file,
// or a reset when it closed with data still unread). Never blocks.
inline bool other_end_closed(int sock) {
  pollfd p{sock, POLLIN, 0};
  if (::poll(&p, 1, 0) != 1) return false;
  char buf[256];
  for (;;) {
    ssize_t n = ::recv(sock, buf, sizeof(buf), MSG_DONTWAIT);
    if (n == 0) return true;
    if (n > 0) continue;  // data the other end wrote before closing
    return errno == ECONNRESET;
  }
}

inline bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

inline bool is_cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC);
}

inline bool same_file(int a, int b) {
  struct stat sa, sb;
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace mq::test

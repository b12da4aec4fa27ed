#pragma once

// Helpers shared by the util tests: event-loop waiting, raw socket writes,
// descriptor checks. Temporary directories: temp_dir_t of the shared support.

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

#include "support/daemon_process.h"
#include "util/unique_fd.h"

namespace mq::test {

using namespace std::chrono_literals;

// Runs the loop until `done` holds; false when the generous deadline passes.
inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::steady_clock::duration limit = 120s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (io.stopped()) io.restart();
    if (io.run_one_for(50ms) == 0) std::this_thread::yield();
  }
  return true;
}

// Runs every handler that is ready now, and those they make ready, until
// nothing is left to do at this moment.
inline void drain(boost::asio::io_context& io) {
  for (;;) {
    if (io.stopped()) io.restart();
    if (io.poll() == 0) break;
  }
  if (io.stopped()) io.restart();
}

struct socket_pair_t {
  socket_pair_t() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
      throw std::system_error(errno, std::generic_category(), "socketpair");
    a = util::unique_fd_t(sv[0]);
    b = util::unique_fd_t(sv[1]);
  }
  util::unique_fd_t a;
  util::unique_fd_t b;
};

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

// One sendmsg of `size` bytes with the given descriptors attached; the whole
// range is written (the descriptors go with the first call only).
inline void send_raw(int sock, const void* data, std::size_t size, std::vector<int> fds = {}) {
  const char* p = static_cast<const char*>(data);
  while (size > 0 || !fds.empty()) {
    iovec iov{const_cast<char*>(p), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control;
    if (!fds.empty()) {
      control.assign(CMSG_SPACE(sizeof(int) * fds.size()), 0);
      msg.msg_control = control.data();
      msg.msg_controllen = control.size();
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "sendmsg");
    }
    fds.clear();
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

inline void send_length(int sock, std::uint32_t length, std::vector<int> fds = {}) {
  send_raw(sock, &length, sizeof(length), std::move(fds));
}

// Reads exactly `size` bytes (blocking); throws on end of file.
inline std::string recv_exact(int sock, std::size_t size) {
  std::string out(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(sock, out.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
    if (n == 0) throw std::runtime_error("unexpected end of file");
    done += static_cast<std::size_t>(n);
  }
  return out;
}

// The host-order bytes of a frame's length field.
inline std::string length_bytes(std::uint32_t length) {
  return std::string(reinterpret_cast<const char*>(&length), sizeof(length));
}

// Bytes that differ from frame to frame and position to position.
inline std::string pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
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

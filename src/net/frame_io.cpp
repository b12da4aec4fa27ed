#include "net/frame_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "net/frame.h"
#include "net/scm_rights.h"

namespace mq::net {

namespace {

[[noreturn]] void throw_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void wait_ready(int sock, short events, int timeout_ms) {
  pollfd p{sock, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeout_ms);
    if (r > 0) return;
    if (r == 0) throw std::runtime_error("timed out waiting for a frame");
    if (errno != EINTR) throw_errno("poll");
  }
}

void send_all(int sock, const char* data, size_t size, int fd) {
  bool fd_pending = fd >= 0;
  while (size > 0) {
    iovec iov{const_cast<char*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    fd_control_t control;
    if (fd_pending) attach_fd(msg, control, fd);
    ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A non-blocking socket handed in by the caller: wait instead of failing.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(sock, POLLOUT, -1);
        continue;
      }
      throw_errno("sendmsg");
    }
    fd_pending = false;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Reads exactly `size` bytes; false on end of file before the first byte.
// Like the daemon's link, accepts at most one descriptor, and only where `fd`
// is given (never with the length bytes): anything else is EMSGSIZE.
bool recv_all(int sock, char* data, size_t size, mq::util::unique_fd_t* fd, int timeout_ms) {
  size_t done = 0;
  while (done < size) {
    if (timeout_ms >= 0) wait_ready(sock, POLLIN, timeout_ms);
    iovec iov{data + done, size - done};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    const bool allowed = fd && !*fd;
    if (allowed) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
    }
    ssize_t n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(sock, POLLIN, timeout_ms);
        continue;
      }
      throw_errno("recvmsg");
    }
    bool too_many = (msg.msg_flags & MSG_CTRUNC) != 0;
    bool got_fd = false;
    if (allowed) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        got_fd = got_fd || count > 0;
        if (too_many || count > 1 || *fd) {
          close_fds(c, count);
          too_many = true;
          continue;
        }
        if (count == 1) {
          int received;
          std::memcpy(&received, CMSG_DATA(c), sizeof(int));
          *fd = mq::util::unique_fd_t(received);
        }
      }
    }
    if (too_many) {
      if (fd) fd->reset();
      throw std::system_error(EMSGSIZE, std::generic_category(), "recvmsg: unexpected descriptor");
    }
    if (n == 0) {
      if (got_fd) continue;
      if (done == 0) return false;
      throw std::system_error(ECONNRESET, std::generic_category(), "end of file inside a frame");
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void write_frame(int sock, const std::string& body, int fd) {
  if (!fits_frame(body.size())) throw std::system_error(EMSGSIZE, std::generic_category(), "frame too large");
  std::uint32_t size = static_cast<std::uint32_t>(body.size());
  send_all(sock, reinterpret_cast<const char*>(&size), sizeof(size), -1);
  send_all(sock, body.data(), body.size(), fd);
}

bool read_frame(int sock, std::string& body, mq::util::unique_fd_t& fd, int timeout_ms) {
  fd.reset();
  std::uint32_t size = 0;
  if (!recv_all(sock, reinterpret_cast<char*>(&size), sizeof(size), nullptr, timeout_ms)) return false;
  if (size == 0 || size > max_frame_size) throw std::runtime_error("invalid message size received");
  body.resize(size);
  if (!recv_all(sock, body.data(), size, &fd, timeout_ms))
    throw std::system_error(ECONNRESET, std::generic_category(), "end of file inside a frame");
  return true;
}

mq::util::unique_fd_t connect_local(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) throw_errno("socket");
  mq::util::unique_fd_t sock(s);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
    throw std::system_error(errno, std::generic_category(), "connect " + path);
  return sock;
}

}  // namespace mq::net

#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

// Passing the one descriptor a frame may carry, shared by the link and the
// blocking frame functions.
namespace mq::net {

struct fd_control_t {
  alignas(cmsghdr) char data[CMSG_SPACE(sizeof(int))];
};

// Attaches `fd` to `msg` as one SCM_RIGHTS control message held in `control`.
inline void attach_fd(msghdr& msg, fd_control_t& control, int fd) {
  std::memset(control.data, 0, sizeof(control.data));
  msg.msg_control = control.data;
  msg.msg_controllen = sizeof(control.data);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
}

// Closes the `count` descriptors a received control message carries.
inline void close_fds(const cmsghdr* c, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    int fd;
    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
    ::close(fd);
  }
}

}  // namespace mq::net

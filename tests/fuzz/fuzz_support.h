#pragma once

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "ov/logger.h"

namespace mq::fuzz {

// The fuzz input as records: a flag byte, a length (1 byte, or 2 when
// `wide`), then that many bytes (fewer at the end of the input).
struct records_t {
  const std::uint8_t* data;
  std::size_t size;
  bool wide;

  bool next(std::uint8_t& flags, std::string& bytes) {
    const std::size_t head = wide ? 3 : 2;
    if (size < head) return false;
    flags = data[0];
    std::size_t n = data[1];
    if (wide) n = n << 8 | data[2];
    n = std::min(n, size - head);
    bytes.assign(reinterpret_cast<const char*>(data + head), n);
    data += head + n;
    size -= head + n;
    return true;
  }
};

// A message file of 64 bytes, as a Sorter would pass it.
inline int make_message_file() {
  const int fd = ::memfd_create("message", MFD_CLOEXEC);
  const char text[] = "Subject: fuzz\r\n\r\n0123456789012345678901234567890123456789012345";
  if (fd < 0 || ::write(fd, text, 64) != 64) std::abort();
  return fd;
}

// Sends bytes with an optional descriptor; false when the socket buffer is
// full or the peer has gone.
inline bool send_bytes(int sock, const std::string& bytes, int fd) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  }
  return ::sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(bytes.size());
}

// Reads what has arrived without waiting, closing passed descriptors.
inline std::string drain(int sock) {
  std::string out;
  char buf[65536];
  for (;;) {
    iovec iov{buf, sizeof(buf)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = ::recvmsg(sock, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    for (cmsghdr* c = msg.msg_controllen ? CMSG_FIRSTHDR(&msg) : nullptr; n >= 0 && c; c = CMSG_NXTHDR(&msg, c))
      for (std::size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        ::close(fd);
      }
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// A connected pair: the first end as an event-loop socket, the second raw.
inline int socket_pair(boost::asio::io_context& io, boost::asio::local::stream_protocol::socket& ours) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
  ours = boost::asio::local::stream_protocol::socket(io, boost::asio::local::stream_protocol(), sv[0]);
  return sv[1];
}

// A fresh empty directory on a memory file system (fsync costs nothing).
inline std::string fresh_dir(const char* name) {
  const boost::filesystem::path base = boost::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  const auto dir = base / (std::string(name) + "-" + std::to_string(::getpid()));
  boost::filesystem::remove_all(dir);
  boost::filesystem::create_directories(dir);
  return dir.string();
}

// Errors only: the traffic lines would drown the fuzzer's output.
inline void quiet_log() { ov::util::logger::set_log_level(ov::util::logger::error + 1); }

}  // namespace mq::fuzz

#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem.hpp>

#include "ov/logger.h"

namespace mq::fuzz {

inline void check(bool ok) {
  if (!ok) std::abort();
}

// The input as records: a flag byte, a length (1 byte, or 2 big-endian when
// `wide`), then that many bytes (fewer at the end).
struct records_t {
  const std::uint8_t* data;
  std::size_t size;
  bool wide;
  std::uint8_t flags = 0;
  std::string bytes = {};

  bool next() {
    const std::size_t head = wide ? 3 : 2;
    if (size < head) return false;
    const std::size_t n = std::min<std::size_t>(wide ? data[1] << 8 | data[2] : data[1], size - head);
    flags = data[0], bytes.assign(reinterpret_cast<const char*>(data + head), n), data += head + n, size -= head + n;
    return true;
  }
};

// Sends bytes without waiting, with `count` (1 or 2) copies of a descriptor
// when `fd` is one.
inline bool send_bytes(int sock, const std::string& bytes, int fd = -1, int count = 1) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  const int fds[2] = {fd, fd};
  const std::size_t n = fd >= 0 ? std::min(count, 2) : 0;
  msghdr msg{nullptr, 0, &iov, 1, n ? control : nullptr, n ? CMSG_SPACE(n * sizeof(int)) : 0, 0};
  if (n) {
    *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(n * sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), fds, n * sizeof(int));
  }
  return ::sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(bytes.size());
}

// The length prefix alone, then the body with the descriptor, as a Sorter writes them.
inline bool send_frame(int sock, const std::string& body, int fd = -1) {
  const auto length = static_cast<std::uint32_t>(body.size());
  return send_bytes(sock, std::string(reinterpret_cast<const char*>(&length), 4)) && send_bytes(sock, body, fd);
}

// Whatever has arrived, without waiting; with no room for control data the kernel closes passed descriptors.
inline std::string drain(int sock) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::recv(sock, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

// The descriptors open in this process.
inline long open_fds() {
  const auto all = boost::filesystem::directory_iterator("/proc/self/fd");
  return std::distance(begin(all), end(all));
}

// A connected pair: the first end for the event loop, the second raw.
inline int socket_pair(boost::asio::io_context& io, boost::asio::local::stream_protocol::socket& ours) {
  int sv[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  return ours = boost::asio::local::stream_protocol::socket(io, boost::asio::local::stream_protocol(), sv[0]), sv[1];
}

// A fresh empty directory in memory, where fsync costs nothing.
inline std::string fresh_dir(const char* name) {
  const auto dir = boost::filesystem::path("/dev/shm") / (std::string(name) + "-" + std::to_string(::getpid()));
  boost::filesystem::remove_all(dir), boost::filesystem::create_directories(dir);
  ov::util::logger::set_log_level(ov::util::logger::error + 1);  // traffic lines would drown the output
  return dir.string();
}

}  // namespace mq::fuzz

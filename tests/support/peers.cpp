#include "peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "net/tagged.h"

namespace mq::test {

socket_pair_t::socket_pair_t() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) throw_errno("socketpair");
  a = mq::util::unique_fd_t(sv[0]);
  b = mq::util::unique_fd_t(sv[1]);
}

mq::util::unique_fd_t connect_loopback(std::uint16_t port) {
  mq::util::unique_fd_t s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw_errno("connect");
  return s;
}

std::string read_until_closed(int sock) {
  std::string out;
  char buf[4096];
  for (pollfd p{sock, POLLIN, 0}; ::poll(&p, 1, static_cast<int>(wait_limit().count())) == 1;) {
    const ssize_t n = ::read(sock, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
  throw std::runtime_error("no end of the answer in time: " + out);
}

void send_raw(int sock, const void* data, std::size_t size, std::vector<int> fds) {
  const char* p = static_cast<const char*>(data);
  while (size > 0 || !fds.empty()) {
    iovec iov{const_cast<char*>(p), size};
    std::vector<char> control(fds.empty() ? 0 : CMSG_SPACE(sizeof(int) * fds.size()));
    msghdr msg{nullptr, 0, &iov, 1, fds.empty() ? nullptr : control.data(), control.size(), 0};
    if (!fds.empty()) {
      *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(sizeof(int) * fds.size()), SOL_SOCKET, SCM_RIGHTS};
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), fds.data(), sizeof(int) * fds.size());
    }
    const ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_errno("sendmsg");
    fds.clear();
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::string recv_exact(int sock, std::size_t size) {
  std::string out(size, '\0');
  if (::recv(sock, out.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size))
    throw std::runtime_error("recv_exact: short read");
  return out;
}

std::string exchange(std::uint16_t port, const std::string& request) {
  const auto s = connect_loopback(port);
  send_raw(s.get(), request.data(), request.size());
  return read_until_closed(s.get());
}

mq::util::unique_fd_t memory_file_fd(const std::string& content) {
  mq::util::unique_fd_t fd(::memfd_create("message", MFD_CLOEXEC));
  if (fd.get() < 0 || ::write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    throw_errno("memory file");
  return fd;
}

loop_peer_t::loop_peer_t(boost::asio::io_context& io) : io_(io), near_(io) {
  socket_pair_t pair;
  far_ = std::move(pair.b);
  near_.assign(boost::asio::local::stream_protocol(), pair.a.release());
}

bool loop_peer_t::wait_readable_frame(std::chrono::milliseconds limit) {
  return run_until(
      io_,
      [this] {
        std::uint32_t size = 0;
        ssize_t n = ::recv(far_.get(), &size, sizeof size, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return true;  // end of stream
        if (n < static_cast<ssize_t>(sizeof size)) return false;
        if (size == 0 || size > 64u * 1024u * 1024u) return true;  // read_frame reports it
        std::string buf(sizeof size + size, '\0');
        return ::recv(far_.get(), buf.data(), buf.size(), MSG_PEEK | MSG_DONTWAIT) == static_cast<ssize_t>(buf.size());
      },
      limit);
}

bool loop_peer_t::receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd,
                          std::chrono::milliseconds limit) {
  const bool ready = wait_readable_frame(limit);
  EXPECT_TRUE(ready) << "no frame within " << limit.count() << " ms";
  std::string body;
  mq::util::unique_fd_t received;
  if (!ready || !mq::net::read_frame(far_.get(), body, received, 0)) return false;
  const bool parsed = message.ParseFromString(body);
  EXPECT_TRUE(parsed) << "frame is not a valid " << message.GetTypeName();
  if (parsed && fd) *fd = std::move(received);
  return parsed;
}

bool loop_peer_t::wait_closed(std::chrono::milliseconds limit) {
  char byte;
  return wait_readable_frame(limit) && ::recv(far_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

sorter_peer_t::sorter_peer_t(const std::string& path, bool greeting) : protocol_peer_t(path) {
  if (!greeting) return;
  EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, read().tag()) << "the first frame must be the store state";
}

std::uint64_t sorter_peer_t::put(const std::string& content, mq::Status status, const mq::Entry& entry) {
  auto m = mq::net::tagged<request_t>(request_t::PUT_ENTRY_REQUEST);
  m.set_status(status);
  (*m.mutable_entry() = entry).set_message_size(content.size());
  const response_t r = call(m, memory_file_fd(content).get());
  if (r.tag() != response_t::PUT_ENTRY_RESPONSE) throw std::runtime_error("put failed: " + r.error().what());
  return r.entry_id();
}

client_peer_t::response_t client_peer_t::request(request_t::Tag tag, mq::Status status, bool fix) {
  auto m = mq::net::tagged<request_t>(tag);
  if (tag == request_t::FLUSH_QUEUE_REQUEST) m.set_status(status);
  if (tag == request_t::CHECK_HEALTH_REQUEST) m.set_fix(fix);
  return call(m);
}

}  // namespace mq::test

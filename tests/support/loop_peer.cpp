#include "loop_peer.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <system_error>

#include <gtest/gtest.h>

#include "ov/logger.h"
#include "util/frame_io.h"

namespace mq::test {

namespace {

using clock_t_ = std::chrono::steady_clock;

// A handler that is ready runs at once; otherwise wait this long for one.
constexpr auto slice = std::chrono::milliseconds(20);

}  // namespace

bool run_until(boost::asio::io_context& io, const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = clock_t_::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (clock_t_::now() >= deadline) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(slice);
  }
  return true;
}

loop_peer_t::loop_peer_t(boost::asio::io_context& io) : io_(io), near_(io) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::system_error(errno, std::generic_category(), "socketpair");
  far_ = mq::util::unique_fd_t(fds[1]);
  near_.assign(boost::asio::local::stream_protocol(), fds[0]);
}

loop_peer_t::socket_t loop_peer_t::take_socket() { return std::move(near_); }

void loop_peer_t::send(const google::protobuf::Message& message, int fd) {
  std::string body;
  message.SerializeToString(&body);
  send_body(body, fd);
}

void loop_peer_t::send_body(const std::string& body, int fd) { mq::util::write_frame(far_.get(), body, fd); }

bool loop_peer_t::wait_readable_frame(int timeout_ms) {
  return run_until(
      io_,
      [this] {
        std::uint32_t size = 0;
        ssize_t n = ::recv(far_.get(), &size, sizeof size, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return true;  // end of stream
        if (n < static_cast<ssize_t>(sizeof size)) return false;
        if (size == 0 || size > 64u * 1024u * 1024u) return true;  // read_frame reports it
        std::string buf(sizeof size + size, '\0');
        n = ::recv(far_.get(), buf.data(), buf.size(), MSG_PEEK | MSG_DONTWAIT);
        return n == static_cast<ssize_t>(buf.size());
      },
      timeout_ms);
}

bool loop_peer_t::receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd, int timeout_ms) {
  if (!wait_readable_frame(timeout_ms)) {
    ADD_FAILURE() << "no frame within " << timeout_ms << " ms";
    return false;
  }
  std::string body;
  mq::util::unique_fd_t received;
  if (!mq::util::read_frame(far_.get(), body, received, 0)) return false;
  if (!message.ParseFromString(body)) {
    ADD_FAILURE() << "frame is not a valid " << message.GetTypeName();
    return false;
  }
  if (fd) *fd = std::move(received);
  return true;
}

bool loop_peer_t::wait_closed(int timeout_ms) {
  if (!wait_readable_frame(timeout_ms)) return false;
  char byte;
  return ::recv(far_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool loop_peer_t::idle_and_silent() {
  if (io_.stopped()) io_.restart();
  while (io_.poll() > 0) {
  }
  pollfd p{far_.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

log_capture_t::log_capture_t() {
  old_function_ = ov::util::logger::set_log_function([this](std::int32_t level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, text);
  });
  old_level_ = ov::util::logger::set_log_level(ov::util::logger::debug);
}

log_capture_t::~log_capture_t() {
  ov::util::logger::set_log_level(old_level_);
  ov::util::logger::set_log_function(old_function_);
}

std::size_t log_capture_t::count(std::int32_t level, const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& [l, t] : lines_)
    if (l == level && t == text) ++n;
  return n;
}

std::vector<std::string> log_capture_t::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [l, t] : lines_) out.push_back(std::to_string(l) + " " + t);
  return out;
}

}  // namespace mq::test

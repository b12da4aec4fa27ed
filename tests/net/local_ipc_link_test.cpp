#include "net/local_ipc_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "net/frame_io.h"
#include "support/peers.h"

namespace mq::net {
namespace {

struct pipe_t {
  pipe_t() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read = mq::util::unique_fd_t(p[0]), write = mq::util::unique_fd_t(p[1]);
  }
  // Closes our write end; true when no copy of it is left open anywhere.
  bool all_writers_gone() {
    write.reset();
    pollfd p{read.get(), POLLIN, 0};
    char c;
    return ::poll(&p, 1, 0) == 1 && ::read(read.get(), &c, 1) == 0;
  }
  mq::util::unique_fd_t read, write;
};

std::string len(std::uint32_t length) { return std::string(reinterpret_cast<char*>(&length), 4); }

// True when the other end of a stream socket has been closed; never blocks.
bool other_end_closed(int sock) {
  char buf[256];
  for (ssize_t n;;)
    if ((n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT)) <= 0) return n == 0 || errno == ECONNRESET;
}

// A link on one end of a socket pair, the test on the other; the owner
// destroys the link when it fails, as the real owners do.
struct harness_t final : local_ipc_link_t::delegate_t {
  explicit harness_t(bool started = true) { started ? start() : void(); }
  void start() {
    link = std::make_unique<local_ipc_link_t>(
        local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), pair.a.release()), this);
  }
  void on_written() override { ++written; }
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override {
    bodies.emplace_back(reinterpret_cast<const char*>(data), size);
    fds.push_back(std::move(fd));
    if (after_message) after_message();
  }
  void on_error(std::exception_ptr e) override {
    errors.push_back(e);
    link.reset();
  }
  static std::unique_ptr<std::uint8_t[]> bytes(const std::string& body) {
    std::unique_ptr<std::uint8_t[]> b(new std::uint8_t[body.size() + 1]);
    std::memcpy(b.get(), body.data(), body.size());
    return b;
  }
  void send(const std::string& body, int fd = -1) {
    link->send(bytes(body), static_cast<std::uint32_t>(body.size()),
               fd < 0 ? mq::util::unique_fd_t() : mq::util::unique_fd_t(::dup(fd)));
  }
  void send_latest(const std::string& body) { link->send_latest(7, bytes(body), std::uint32_t(body.size())); }
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = test::wait_limit()) {
    return test::run_until(io, done, limit);
  }
  // Lets the loop run what is ready and what that makes ready.
  void settle() {
    run_until([] { return false; }, std::chrono::milliseconds(50));
  }
  int peer() const { return pair.b.get(); }

  boost::asio::io_context io;
  test::socket_pair_t pair;
  std::unique_ptr<local_ipc_link_t> link;
  std::vector<std::string> bodies;
  std::vector<mq::util::unique_fd_t> fds;
  std::vector<std::exception_ptr> errors;
  int written = 0;
  std::function<void()> after_message;
};

enum end_t { none, hang_up, stop_reading };

// Frees descriptor 0 while it lives, so that the next one received takes
// that number.
struct zero_freed_t {
  explicit zero_freed_t(bool free) : saved(free ? ::fcntl(0, F_DUPFD_CLOEXEC, 3) : -1) {
    if (saved >= 0) ::close(0);
  }
  ~zero_freed_t() {
    if (saved >= 0) ::dup2(saved, 0), ::close(saved);
  }
  int saved;
};

// Written before the link exists, so that the constructor could be
// tempted to deliver; every row fails the link once and leaks nothing, also
// when a refused descriptor arrives as number 0.
TEST(local_ipc_link, failures_are_reported_once_and_close_everything) {
  const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
  const boost::system::error_code eof = boost::asio::error::eof, msgsize = sys(EMSGSIZE);
  const std::string read_failed = "read failed: ";
  const struct {
    std::vector<std::pair<std::string, int>> segments;  // bytes, descriptors sent with them
    end_t end;
    boost::system::error_code code;
    std::string text;  // what() starts with it
    std::size_t delivered;
  } rows[] = {
      {{{len(3), 1}, {"abc", 0}}, none, msgsize, read_failed, 0},
      {{{len(20), 0}, {"0123456789", 1}, {"abcdefghij", 1}}, none, msgsize, read_failed, 0},
      {{{len(4), 0}, {"abcd", 2}}, none, msgsize, read_failed, 0},
      {{{len(100) + "0123456789", 0}}, hang_up, eof, "read failed: End of file", 0},
      {{{len(4) + "last", 0}}, hang_up, eof, "read failed: End of file", 1},
      {{}, stop_reading, sys(EPIPE), "write failed: Broken pipe", 0},
  };
  for (const bool at_zero : {false, true})
    for (const auto& row : rows) {
      SCOPED_TRACE(testing::Message() << "row " << &row - rows << (at_zero ? " at descriptor 0" : ""));
      std::optional<zero_freed_t> zero;  // outlives the harness
      harness_t h(false);
      std::vector<pipe_t> pipes;
      for (const auto& [bytes, count] : row.segments) {
        std::vector<int> fds;
        for (int i = 0; i < count; ++i) fds.push_back(pipes.emplace_back().write.get());
        test::send_raw(h.peer(), bytes.data(), bytes.size(), fds);
      }
      if (row.end == hang_up) h.pair.b.reset();
      if (row.end == stop_reading) ::shutdown(h.peer(), SHUT_RD);
      // The loop opens its own descriptors on first use: before 0 is freed.
      const boost::asio::steady_timer opens_the_loop(h.io);
      pipe_t unsent;
      zero.emplace(at_zero);
      h.start();
      EXPECT_TRUE(h.errors.empty() && h.bodies.empty()) << "the delegate was called from the constructor";
      if (row.end == stop_reading) h.send("unread", unsent.write.get());
      ASSERT_TRUE(h.run_until([&] { return !h.errors.empty(); }));
      h.settle();
      ASSERT_EQ(1u, h.errors.size());
      EXPECT_EQ(std::tuple(row.delivered, 0), std::tuple(h.bodies.size(), h.written)) << "delivered, written";
      try {
        std::rethrow_exception(h.errors[0]);
      } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::tuple(row.code, 0u), std::tuple(e.code(), std::string(e.what()).rfind(row.text, 0))) << e.what();
      }
      for (auto& p : pipes) EXPECT_TRUE(p.all_writers_gone()) << "a refused descriptor was kept";
      EXPECT_TRUE(unsent.all_writers_gone()) << "the descriptor of a failed send was kept";
      EXPECT_TRUE(!h.pair.b || other_end_closed(h.peer()));
    }
}

TEST(local_ipc_link, reassembles_a_body_from_segments_with_its_descriptor_on_a_later_one) {
  harness_t h;
  pipe_t p;
  const std::string body = test::pattern(5000, 2);
  test::send_raw(h.peer(), len(5000).data(), 4);
  const std::size_t cuts[] = {0, 1, 700, 2100, 2101, 4000, 5000};
  for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
    // The loop runs dry between segments, so the link sees every partial state.
    h.settle();
    EXPECT_TRUE(h.bodies.empty()) << "delivered before the body was complete, segment " << i;
    std::vector<int> fds;
    if (i == 3) fds.push_back(p.write.get());
    test::send_raw(h.peer(), body.data() + cuts[i], cuts[i + 1] - cuts[i], fds);
  }
  ASSERT_TRUE(h.run_until([&] { return !h.bodies.empty() || !h.errors.empty(); }) && h.errors.empty());
  EXPECT_EQ(body, h.bodies[0]);
  struct stat got, sent;  // the same file
  ASSERT_EQ(0, ::fstat(h.fds[0].get(), &got) | ::fstat(p.write.get(), &sent));
  EXPECT_EQ(std::tuple(got.st_dev, got.st_ino), std::tuple(sent.st_dev, sent.st_ino));
  // The largest body is taken too (written from a thread: it outgrows the socket's buffer).
  const std::string largest = test::pattern(max_frame_size, 4);
  std::thread writer([&] { test::send_raw(h.peer(), (len(max_frame_size) + largest).data(), 4 + largest.size()); });
  const bool taken = h.run_until([&] { return h.bodies.size() == 2 || !h.errors.empty(); });
  writer.join();
  EXPECT_TRUE(taken && h.bodies.size() == 2 && h.bodies[1] == largest);
}

TEST(link_flow, reading_pauses_between_the_marks_and_a_waiting_latest_frame_is_replaced) {
  harness_t h;
  h.after_message = [&] { h.link->request_started(); };
  h.link->set_flow_limits({3, 1, 1u << 20, 1u << 19, 8, 4});
  for (int i = 0; i < 6; ++i) write_frame(h.peer(), "request " + std::to_string(i));
  ASSERT_TRUE(h.run_until([&] { return h.bodies.size() == 3; }));
  h.settle();
  EXPECT_EQ(3u, h.bodies.size()) << "read past the high mark";
  h.link->request_finished();
  h.settle();
  EXPECT_EQ(3u, h.bodies.size()) << "resumed above the low mark";
  h.link->request_finished();
  ASSERT_TRUE(h.run_until([&] { return h.bodies.size() == 5; }));
  EXPECT_EQ("request 4", h.bodies.back());
  h.send_latest("stat 1");
  h.send_latest("stat 2");
  h.send("info");
  h.send_latest("stat three");
  h.settle();
  h.send_latest("stat 4");  // the earlier one has gone out: nothing to replace
  h.settle();
  h.link.reset();  // a short read ends at the close instead of blocking
  EXPECT_EQ(len(10) + "stat three" + len(4) + "info" + len(6) + "stat 4", test::recv_exact(h.peer(), 32));
}

}  // namespace
}  // namespace mq::net

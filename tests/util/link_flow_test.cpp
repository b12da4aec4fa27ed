// The link's side of backpressure: reading stops at a high mark and starts
// again at the low one, and a frame of a kind still waiting is replaced.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "util/frame_io.h"
#include "util/local_ipc_link.h"
#include "support/peers.h"

namespace mq::util {
namespace {

// Runs every handler ready now, and those they make ready.
void drain(boost::asio::io_context& io) {
  do io.restart();
  while (io.poll() != 0);
  io.restart();
}

struct flow_owner_t final : local_ipc_link_t::delegate_t {
  flow_owner_t()
      : link(local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), pair.a.release()), this) {}
  void on_written() override {}
  void on_message(const std::uint8_t* data, std::uint32_t size, unique_fd_t) override {
    bodies.emplace_back(reinterpret_cast<const char*>(data), size);
    link.request_started();
  }
  void on_error(std::exception_ptr) override { failed = true; }
  void send_latest(const std::string& body) {
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[body.size()]);
    std::copy(body.begin(), body.end(), data.get());
    link.send_latest(7, std::move(data), static_cast<std::uint32_t>(body.size()));
  }
  std::string read_back() {
    std::string body;
    unique_fd_t fd;
    EXPECT_TRUE(read_frame(pair.b.get(), body, fd, 10000));
    return body;
  }

  boost::asio::io_context io;
  test::socket_pair_t pair;
  local_ipc_link_t link;
  std::vector<std::string> bodies;
  bool failed = false;
};

TEST(link_flow, ReadingStopsAtTheHighMarkAndResumesAtTheLowOne) {
  flow_owner_t o;
  o.link.set_flow_limits({3, 1, 1u << 20, 1u << 19, 8, 4});
  for (int i = 0; i < 6; ++i) write_frame(o.pair.b.get(), "request " + std::to_string(i));
  ASSERT_TRUE(test::run_until(o.io, [&] { return o.link.reading_paused(); }));
  drain(o.io);
  EXPECT_EQ(3u, o.bodies.size()) << "read past the high mark";
  o.link.request_finished();
  drain(o.io);
  EXPECT_EQ(3u, o.bodies.size()) << "resumed above the low mark";
  o.link.request_finished();
  ASSERT_TRUE(test::run_until(o.io, [&] { return o.bodies.size() == 5; }));
  EXPECT_EQ("request 4", o.bodies.back());
  EXPECT_FALSE(o.failed);
}

TEST(link_flow, AFrameOfAKindStillWaitingIsReplacedByTheLatest) {
  flow_owner_t o;
  o.send_latest("stat 1");
  o.send_latest("stat 2");
  o.link.send(std::unique_ptr<std::uint8_t[]>(new std::uint8_t[4]{'i', 'n', 'f', 'o'}), 4);
  o.send_latest("stat three");
  drain(o.io);
  EXPECT_EQ("stat three", o.read_back());
  EXPECT_EQ("info", o.read_back());
  o.send_latest("stat 4");
  drain(o.io);
  EXPECT_EQ("stat 4", o.read_back());
  EXPECT_EQ(0u, o.link.queued_bytes());
}

}  // namespace
}  // namespace mq::util

// The monitor channel object against a blocking peer on a real socket
// pair; how the daemon ends on a bad channel is tested on the process.
#include <poll.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "ov/error.h"
#include "overseer/tie.h"
#include "support/peers.h"
#include "util/frame_io.h"

namespace {

using in_t = ov::Overseer2MailQuarantineMessage;

class tie_test : public ::testing::Test {
 protected:
  tie_test() {
    mq::util::local_ipc_link_t::socket_t socket(io_);
    socket.assign(boost::asio::local::stream_protocol(), pair_.b.release());
    tie_ = std::make_unique<mq::overseer::tie_t>(std::move(socket));
  }

  // The next frame the tie sent, raw; sends happen on the loop.
  std::string next_frame() {
    pollfd p{pair_.a.get(), POLLIN, 0};
    EXPECT_TRUE(mq::test::run_until(io_, [&] { return ::poll(&p, 1, 0) > 0; }));
    std::string body;
    mq::util::unique_fd_t fd;
    EXPECT_TRUE(mq::util::read_frame(pair_.a.get(), body, fd, 1000));
    return body;
  }

  void respond(std::uint32_t revision, const std::string& spool) {
    in_t m;
    m.set_tag(in_t::GET_CONFIG_RESPONSE);
    m.set_config_revision(revision);
    m.mutable_config()->set_spool_dir(spool);
    mq::util::write_frame(pair_.a.get(), m.SerializeAsString());
  }

  // Runs the loop until it runs out of work or an exception leaves it.
  std::exception_ptr run() {
    io_.restart();
    try {
      io_.run();
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  boost::asio::io_context io_;
  mq::test::socket_pair_t pair_;
  std::unique_ptr<mq::overseer::tie_t> tie_;
};

TEST_F(tie_test, requests_are_bare_tags_and_responses_answer_in_order_without_surplus) {
  std::vector<std::string> got;
  for (int i = 0; i < 2; ++i)
    tie_->request_config(
        [&](ov::MailQuarantineConfig c, std::uint32_t r) { got.push_back(c.spool_dir() + " " + std::to_string(r)); });
  EXPECT_EQ(std::string("\x08\x01", 2), next_frame());
  EXPECT_EQ(std::string("\x08\x01", 2), next_frame());
  respond(7, "/first");
  respond(9, "/second");
  // Answered requests do not excuse a third response.
  respond(11, "/third");
  const auto error = run();
  EXPECT_EQ((std::vector<std::string>{"/first 7", "/second 9"}), got);
  EXPECT_EQ(ov::EC_UNEXPECTED_MESSAGE, ov::error_code_of(error));
  EXPECT_FALSE(tie_->is_open());
}

TEST_F(tie_test, notifications_after_the_peer_left_are_dropped) {
  pair_.a.reset();
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, ov::error_code_of(run()));
  tie_->notify_info(1);
  tie_->notify_stat(ov::MailQuarantineAppStat());
  EXPECT_EQ(nullptr, run());
}

}  // namespace

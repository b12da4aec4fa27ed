// The monitor channel object against a peer on a real socket pair; how the
// daemon ends on a bad channel is tested on the process.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "ov/error.h"
#include "overseer/channel.h"
#include "support/process.h"
#include "util/thrown_by.h"

namespace {

using in_t = ov::Overseer2MailQuarantineMessage;

class channel_test : public ::testing::Test {
 protected:
  void respond(std::uint32_t revision, const std::string& spool) {
    peer_.send(mq::test::parse<in_t>("tag: GET_CONFIG_RESPONSE config_revision: " + std::to_string(revision) +
                                     " config { spool_dir: '" + spool + "' }"));
  }

  // Runs the loop until it runs out of work or an exception leaves it.
  std::exception_ptr run() {
    io_.restart();
    return mq::util::thrown_by([&] { io_.run(); });
  }

  boost::asio::io_context io_;
  mq::test::loop_peer_t peer_{io_};
  std::unique_ptr<mq::overseer::channel_t> channel_ = std::make_unique<mq::overseer::channel_t>(peer_.take_socket());
};

TEST_F(channel_test, responses_answer_the_requests_in_order_without_surplus) {
  std::vector<std::string> got;
  for (int i = 0; i < 2; ++i)
    channel_->request_config(
        [&](ov::MailQuarantineConfig c, std::uint32_t r) { got.push_back(c.spool_dir() + " " + std::to_string(r)); });
  respond(7, "/first");
  respond(9, "/second");
  // Answered requests do not excuse a third response.
  respond(11, "/third");
  const auto error = run();
  EXPECT_EQ((std::vector<std::string>{"/first 7", "/second 9"}), got);
  EXPECT_EQ(std::tuple(ov::EC_UNEXPECTED_MESSAGE, false), std::tuple(ov::error_code_of(error), channel_->is_open()));
}

TEST_F(channel_test, notifications_after_the_peer_left_are_dropped) {
  peer_.close();
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, ov::error_code_of(run()));
  channel_->notify_info(1);
  channel_->notify_stat(ov::MailQuarantineAppStat());
  EXPECT_EQ(nullptr, run());
}

}  // namespace

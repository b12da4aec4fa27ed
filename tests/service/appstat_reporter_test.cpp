// The statistics reporter on a real monitor channel, with the event loop on
// its own thread and the supervisor's end read here.
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "overseer/tie.h"
#include "service/appstat_reporter.h"
#include "util/frame_io.h"

namespace {

using out_t = ov::MailQuarantine2OverseerMessage;
using clock_type = std::chrono::steady_clock;

class appstat_reporter_test : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    peer_ = mq::util::unique_fd_t(pair[0]);
    mq::util::local_ipc_link_t::socket_t socket(io_);
    socket.assign(boost::asio::local::stream_protocol(), pair[1]);
    tie_ = std::make_unique<mq::overseer::tie_t>(std::move(socket));
    start_ = clock_type::now();
    reporter_ = std::make_unique<mq::service::appstat_reporter_t>(io_, tie_.get());
    loop_ = std::async(std::launch::async, [this] { io_.run(); });
  }

  void TearDown() override {
    // Destroying both leaves the loop without work: nothing else may keep
    // it alive, the statistics timer included.
    boost::asio::post(io_, [this] {
      reporter_.reset();
      tie_.reset();
    });
    if (loop_.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "the event loop did not run out of work";
      io_.stop();
    }
    loop_.get();
  }

  out_t next_stat() {
    std::string body;
    mq::util::unique_fd_t fd;
    EXPECT_TRUE(mq::util::read_frame(peer_.get(), body, fd, 30000));
    out_t m;
    EXPECT_TRUE(m.ParseFromString(body));
    EXPECT_EQ(out_t::MY_STAT_NOTIFICATION, m.tag());
    EXPECT_TRUE(m.has_stat() && m.stat().has_clients());
    return m;
  }

  std::uint32_t next_changed_stat(std::uint32_t old) {
    for (int i = 0; i < 10; ++i) {
      out_t m = next_stat();
      if (m.stat().clients() != old) return m.stat().clients();
    }
    ADD_FAILURE() << "the count never changed from " << old;
    return old;
  }

  // Runs `f` on the loop and waits for it.
  void on_loop(std::function<void()> f) {
    std::promise<void> done;
    boost::asio::post(io_, [&] {
      f();
      done.set_value();
    });
    done.get_future().get();
  }

  boost::asio::io_context io_;
  mq::util::unique_fd_t peer_;
  std::unique_ptr<mq::overseer::tie_t> tie_;
  std::unique_ptr<mq::service::appstat_reporter_t> reporter_;
  clock_type::time_point start_;
  std::future<void> loop_;
};

TEST_F(appstat_reporter_test, reports_zero_clients_every_second_from_one_second_after_start) {
  for (int k = 1; k <= 3; ++k) {
    out_t m = next_stat();
    EXPECT_EQ(0u, m.stat().clients());
    // The k-th report cannot come before k seconds have passed.
    EXPECT_GE(clock_type::now() - start_, std::chrono::seconds(k));
  }
}

TEST_F(appstat_reporter_test, counts_clients_and_keeps_them_across_configurations) {
  on_loop([this] {
    reporter_->add_client();
    reporter_->add_client();
    reporter_->add_client();
    reporter_->remove_client();
    reporter_->configure();  // changes nothing
  });
  // Reports sent before the change show the old value; the first other
  // value must be the new one.
  EXPECT_EQ(2u, next_changed_stat(0));
  on_loop([this] { reporter_->remove_client(); });
  EXPECT_EQ(1u, next_changed_stat(2));
}

}  // namespace

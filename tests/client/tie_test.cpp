// A management-client connection on the event loop, driven from the far end
// of a socket pair with real frames.
#include "client/tie.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "ov/error.h"
#include "support/peers.h"
#include "support/process.h"

namespace {

using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;
template <class T>
using done_t = mq::client::tie_t::completion_t<T>;

const std::system_error denied(EACCES, std::generic_category(), "flush");

// Completes every request at once: a flush is denied, a page runs out of
// memory, a check reports, the statistics give each status its figures.
struct delegate_t : mq::client::tie_t::delegate_t {
  void get_queue_stat(done_t<mq::store::queue_stats_t> d) override {
    EXPECT_TRUE(tie) << "called while the connection is being built";
    mq::store::queue_stats_t stats;
    for (int i = 0; i < 4; ++i) stats.stats[i] = {static_cast<std::uint64_t>(i + 1), 100u * i};
    d(stats);
  }
  void get_queue_chunk(mq::store::queue_chunk_request_t, done_t<std::vector<mq::store::entry_brief_t>> d) override {
    d(mq::util::make_error_result<std::vector<mq::store::entry_brief_t>>(std::make_exception_ptr(std::bad_alloc())));
  }
  void flush_queue(mq::store::status_t, done_t<std::string> d) override {
    d(mq::util::make_error_result<std::string>(std::make_exception_ptr(denied)));
  }
  void check_health(bool, done_t<std::string> d) override { d(std::string("healthy")); }
  void on_disconnected() override { tie.reset(); }

  std::unique_ptr<mq::client::tie_t> tie;
};

// Requests waiting before the connection object exists are handled once its
// owner holds it; a descriptor sent along is closed unread; failures go out
// under the request's own tag. (Completion order is the shared codec's,
// tested on the Sorter side.)
TEST(client_tie, answers_carry_the_requests_tag_serial_and_outcome) {
  boost::asio::io_context io;
  mq::test::loop_peer_t peer(io);
  delegate_t d;
  int pipe[2];
  ASSERT_EQ(0, ::pipe2(pipe, O_NONBLOCK));
  mq::util::unique_fd_t read_end(pipe[0]);
  peer.send(mq::test::parse<request_t>("tag: FLUSH_QUEUE_REQUEST serial: 1 status: SMTP_FRESH"), pipe[1]);
  ::close(pipe[1]);
  for (const char* text : {"tag: GET_QUEUE_CHUNK_REQUEST serial: 2 status: SMTP_FRESH",
                           "tag: CHECK_HEALTH_REQUEST serial: 3", "tag: GET_QUEUE_STAT_REQUEST serial: 1"})
    peer.send(mq::test::parse<request_t>(text));
  d.tie = std::make_unique<mq::client::tie_t>(peer.take_socket(), &d);

  const struct {
    response_t::Tag tag;
    std::uint32_t serial;
    int code;  // -1: no error
    std::string text;
  } expected[] = {
      {response_t::FLUSH_QUEUE_RESPONSE, 1, ov::EC_PERMISSION_DENIED, denied.what()},
      {response_t::GET_QUEUE_CHUNK_RESPONSE, 2, ov::EC_NO_MEMORY, "Not enough memory"},
      {response_t::CHECK_HEALTH_RESPONSE, 3, -1, "healthy"},
      {response_t::GET_QUEUE_STAT_RESPONSE, 1, -1, ""},
  };
  response_t r;
  for (const auto& e : expected) {
    ASSERT_TRUE(peer.receive(r));
    EXPECT_EQ(e.tag, r.tag());
    EXPECT_EQ(e.serial, r.serial());
    EXPECT_EQ(e.code, r.has_error() ? r.error().code() : -1);
    EXPECT_EQ(e.text, r.has_error() ? r.error().what() : r.report());
  }
  char byte;
  EXPECT_EQ(0, ::read(read_end.get(), &byte, 1)) << "the descriptor sent along is still open";
  // The last answer: each status has its own figures.
  EXPECT_EQ(2u, r.smtp_accepted_stat().total_messages());
  EXPECT_EQ(100u, r.smtp_accepted_stat().total_bytes());
  EXPECT_EQ(3u, r.bcc_fresh_stat().total_messages());
  EXPECT_EQ(300u, r.bcc_accepted_stat().total_bytes());
}

// A page is read only as far as its connection has room, and holds that
// room until answered: a second page waits in the socket meanwhile, then
// asks for what a page of its limit may need; other requests go on beside it.
TEST(client_tie, a_page_in_progress_holds_its_connections_room) {
  using briefs_t = std::vector<mq::store::entry_brief_t>;
  struct holding_t : delegate_t {
    void get_queue_chunk(mq::store::queue_chunk_request_t r, done_t<briefs_t> d) override {
      budgets.push_back(r.max_bytes);
      pages.push_back(std::move(d));
    }
    std::vector<std::uint64_t> budgets;
    std::vector<done_t<briefs_t>> pages;
  };
  boost::asio::io_context io;
  mq::test::loop_peer_t peer(io);
  holding_t d;  // after the loop: the connection goes first
  for (const char* text :
       {"tag: GET_QUEUE_CHUNK_REQUEST serial: 1 status: SMTP_FRESH",
        "tag: GET_QUEUE_CHUNK_REQUEST serial: 2 status: SMTP_FRESH limit: 1", "tag: GET_QUEUE_STAT_REQUEST serial: 3"})
    peer.send(mq::test::parse<request_t>(text));
  d.tie = std::make_unique<mq::client::tie_t>(peer.take_socket(), &d);
  ASSERT_TRUE(mq::test::run_until(io, [&] { return d.pages.size() == 1; }));
  for (std::size_t ran = 1; ran;) {
    io.restart();
    ran = io.poll();
  }
  ASSERT_EQ(1u, d.pages.size()) << "read on while a page held all the room";
  d.pages[0](briefs_t(1));
  response_t r;
  ASSERT_TRUE(peer.receive(r));
  EXPECT_EQ(1, r.entry_size());
  ASSERT_TRUE(peer.receive(r));
  EXPECT_EQ(3u, r.serial()) << "the statistics are answered beside the second page";
  EXPECT_EQ((std::vector<std::uint64_t>{4u << 20, 64u << 10}), d.budgets);
}

}  // namespace

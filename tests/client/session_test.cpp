// A management-client session on the event loop, driven from the far end of
// a socket pair with real frames, on a store that the test answers.
#include "client/session.h"

#include <sys/socket.h>

#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ov/error.h"
#include "support/fake_store.h"
#include "support/peers.h"
#include "support/process.h"

namespace {

using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;
using briefs_t = std::vector<mq::store::entry_brief_t>;

// Requests waiting before the session exists are handled once it does; a
// descriptor sent along is closed unread; failures go out under the
// request's own tag. A page is read only as far as its connection has room,
// and holds that room until answered: what comes behind it waits in the
// socket, then a page of a limit asks for what that many entries may need
// and other requests go on beside it. (Completion order is the shared
// connection's, tested on the Sorter side; the statistics' figures, the
// daemon's.)
TEST(client_session, answers_carry_the_requests_tag_serial_and_outcome) {
  boost::asio::io_context io;
  mq::test::loop_peer_t peer{io};
  mq::test::fake_store_t store{io};
  mq::test::socket_pair_t pair;
  peer.send(mq::test::parse<request_t>("tag: FLUSH_QUEUE_REQUEST serial: 1 status: SMTP_FRESH"), pair.b.get());
  pair.b.reset();
  for (const char* text : {"tag: GET_QUEUE_CHUNK_REQUEST serial: 2 status: SMTP_FRESH",
                           "tag: GET_QUEUE_CHUNK_REQUEST serial: 4 status: SMTP_FRESH limit: 1",
                           "tag: CHECK_HEALTH_REQUEST serial: 3", "tag: GET_QUEUE_STAT_REQUEST serial: 1"})
    peer.send(mq::test::parse<request_t>(text));
  auto session = std::make_unique<mq::client::session_t>(peer.take_socket(), &store);
  ASSERT_TRUE(mq::test::run_until(io, [&] { return store.requests == 2; }));
  for (std::size_t ran = 1; ran;) {
    io.restart();
    ran = io.poll();
  }
  ASSERT_EQ(2u, store.requests) << "read on while a page held all the room";
  const std::system_error denied(EACCES, std::generic_category(), "flush");
  store.reports[0](mq::util::make_error_result<std::string>(std::make_exception_ptr(denied)));
  store.briefs[0](mq::util::make_error_result<briefs_t>(std::make_exception_ptr(std::bad_alloc())));
  ASSERT_TRUE(mq::test::run_until(io, [&] { return store.requests == 5; }));
  store.reports[1](std::string("healthy"));
  store.stats[0](mq::store::queue_stats_t());
  store.briefs[1](briefs_t(1));

  // tag, serial, error code (-1: none), the error's text or the report
  const std::tuple<response_t::Tag, std::uint32_t, int, std::string> expected[] = {
      {response_t::FLUSH_QUEUE_RESPONSE, 1, ov::EC_PERMISSION_DENIED, denied.what()},
      {response_t::GET_QUEUE_CHUNK_RESPONSE, 2, ov::EC_NO_MEMORY, "Not enough memory"},
      {response_t::CHECK_HEALTH_RESPONSE, 3, -1, "healthy"},
      {response_t::GET_QUEUE_STAT_RESPONSE, 1, -1, ""},
      {response_t::GET_QUEUE_CHUNK_RESPONSE, 4, -1, ""},
  };
  response_t r;
  for (const auto& e : expected) {
    ASSERT_TRUE(peer.receive(r));
    EXPECT_EQ(e, std::tuple(r.tag(), r.serial(), r.has_error() ? static_cast<int>(r.error().code()) : -1,
                            r.has_error() ? r.error().what() : r.report()));
  }
  EXPECT_EQ((std::vector<std::uint64_t>{4u << 20, 64u << 10}), store.budgets);
  char byte;
  EXPECT_EQ(0, ::recv(pair.a.get(), &byte, 1, MSG_DONTWAIT)) << "the descriptor sent along is still open";
}

}  // namespace

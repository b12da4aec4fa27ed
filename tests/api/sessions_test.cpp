// The client library against a running daemon: what a tool relies on.
#include <algorithm>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "api/async_client.h"
#include "api/client_session.h"
#include "api/error.h"
#include "api/pipeline.h"
#include "api/sorter_session.h"
#include "support/peers.h"
#include "support/process.h"

namespace mq::api {
namespace {

using sorter_request_t = sorter_session_t::request_t;
using sorter_response_t = sorter_session_t::response_t;
using test::entry_request;

// An id the daemon does not hold is its own error, told apart from any
// other failure by the text both sides share.
TEST(api_sessions, an_unknown_id_is_entry_not_found_with_its_code) {
  test::running_quarantine_t q;
  sorter_session_t sorter(q.sorter_socket(), static_cast<int>(test::wait_limit().count()));
  EXPECT_EQ(q.spool_dir(), sorter.store_path());
  try {
    sorter.call(entry_request(sorter_request_t::GET_ENTRY_REQUEST, 424242), sorter_response_t::GET_ENTRY_RESPONSE);
    ADD_FAILURE() << "no error";
  } catch (const entry_not_found_t& e) {
    EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, e.code());
  }
  // Pipelined: the answers come back with the notes of their requests.
  test::sorter_peer_t writer(q.sorter_socket());
  const std::uint64_t kept = writer.put("kept", SMTP_FRESH);
  pipeline_t<std::uint64_t> pipeline(sorter);
  for (const std::uint64_t id : {kept, std::uint64_t{424243}, kept})
    pipeline.send(entry_request(sorter_request_t::GET_ENTRY_REQUEST, id), id);
  std::vector<std::uint64_t> found, gone;
  while (pipeline.in_flight() > 0) {
    const auto [id, answer] = pipeline.receive();
    if (answer.tag() == sorter_response_t::ALARM) {
      EXPECT_TRUE(is_entry_not_found(answer.error()));
      gone.push_back(id);
    } else {
      EXPECT_EQ(id, answer.entry_id());
      found.push_back(id);
    }
  }
  EXPECT_EQ(std::vector<std::uint64_t>({kept, kept}), found);
  EXPECT_EQ(std::vector<std::uint64_t>({424243}), gone);
}

// Pages shorter than the queue: a walk sees every entry once, in key order,
// through the final empty page, also among many entries of one due time. A
// limit of 0 asks for the daemon's default page of 100.
TEST(api_sessions, walks_see_every_entry_once_in_key_order) {
  test::running_quarantine_t q;
  // 250 entries of one due time; one without envelope; one in another status.
  test::sorter_peer_t writer(q.sorter_socket());
  const auto envelope = test::parse<Entry>(R"(next_access_ts: 42 smtp_sender { sender: "s@example" }
      smtp_recipient { recipient: "r1@example" } smtp_recipient { recipient: "r2@example" })");
  std::vector<std::uint64_t> stored;
  for (int i = 0; i < 250; ++i) stored.push_back(writer.put("m\n", BCC_ACCEPTED, envelope));
  const auto bare = test::parse<Entry>("next_access_ts: 42");
  stored.push_back(writer.put("x", BCC_ACCEPTED, bare));
  writer.put("other status\n", SMTP_ACCEPTED, bare);
  std::sort(stored.begin(), stored.end());

  const int limit = static_cast<int>(test::wait_limit().count());
  client_session_t client(q.client_socket(), limit);
  sorter_session_t sorter(q.sorter_socket(), limit);
  for (const std::uint64_t page_limit : {1, 0}) {
    SCOPED_TRACE(page_limit);
    std::vector<std::uint64_t> by_client, by_sorter;
    std::vector<int> client_pages, sorter_pages;
    client.walk(BCC_ACCEPTED, {}, page_limit, [&](const client_session_t::response_t& page, const page_key_t&) {
      client_pages.push_back(page.entry_size());
      for (const auto& e : page.entry()) {
        EXPECT_EQ(42u, e.next_access_ts());
        EXPECT_EQ(e.sender().empty() ? 0 : 2, e.recipient_size());
        by_client.push_back(e.id());
      }
      return true;
    });
    sorter.walk(BCC_ACCEPTED, {}, page_limit, [&](const sorter_response_t& page, const page_key_t&) {
      sorter_pages.push_back(page.queue_key_list_size());
      for (const auto& k : page.queue_key_list()) {
        EXPECT_EQ(42u, k.next_access_ts());
        by_sorter.push_back(k.entry_id());
      }
      return true;
    });
    EXPECT_EQ(stored, by_client);
    EXPECT_EQ(stored, by_sorter);
    std::vector<int> pages = page_limit == 1 ? std::vector<int>(251, 1) : std::vector<int>{100, 100, 51};
    pages.push_back(0);
    EXPECT_EQ(pages, client_pages);
    EXPECT_EQ(pages, sorter_pages);
  }
  EXPECT_EQ(251u, client.stat().bcc_accepted_stat().total_messages());
}

// A page that goes back would make a walk go round for ever.
TEST(api_pages, a_key_that_does_not_go_forward_ends_the_walk) {
  const std::vector<std::vector<page_key_t>> pages = {{{1, 10}, {2, 10}}, {{3, 10}, {2, 10}}};
  std::size_t next = 0;
  const auto fetch = [&](const page_key_t&) { return next < pages.size() ? pages[next++] : std::vector<page_key_t>(); };
  EXPECT_THROW(walk_pages({}, fetch, [](const auto&, const page_key_t&) { return true; }), connection_error_t);
  // Due times are signed: one before 1970 sorts first.
  EXPECT_TRUE((page_key_t{9, static_cast<std::uint64_t>(-5)} < page_key_t{1, 0}));
  EXPECT_TRUE((page_key_t{1, 7} < page_key_t{2, 7}));
}

// The event-loop client: each answer once to the callback of its call, a
// refused connection as connection_error_t.
TEST(api_async_client, answers_each_call_once_on_the_loop) {
  test::running_quarantine_t q;
  boost::asio::io_context io;
  std::optional<std::exception_ptr> connected;
  auto client = async_client_t::connect(io, q.client_socket(), [&](std::exception_ptr e) { connected = e; });
  std::vector<int> answered;
  const auto stat = test::parse<async_client_t::request_t>("tag: GET_QUEUE_STAT_REQUEST");
  for (int i = 0; i < 3; ++i) {
    client->call(stat, [&, i](util::result_t<async_client_t::response_t> r) {
      EXPECT_TRUE(util::has_value(r));
      answered.push_back(i);
    });
  }
  EXPECT_TRUE(test::run_until(io, [&] { return answered.size() == 3; }));
  std::sort(answered.begin(), answered.end());  // in the daemon's order
  EXPECT_EQ(std::vector<int>({0, 1, 2}), answered);
  ASSERT_TRUE(connected.has_value());
  EXPECT_FALSE(*connected);

  std::optional<util::result_t<async_client_t::response_t>> refused;
  auto nowhere = async_client_t::connect(io, q.file("no.sock"), [](std::exception_ptr) {});
  nowhere->call(stat, [&](util::result_t<async_client_t::response_t> r) { refused = r; });
  EXPECT_TRUE(test::run_until(io, [&] { return refused.has_value(); }));
  ASSERT_TRUE(refused.has_value());
  EXPECT_THROW(std::rethrow_exception(util::error_of(*refused)), connection_error_t);
  client->close();
}

}  // namespace
}  // namespace mq::api

// The client library against a running daemon: what a tool relies on.
#include <algorithm>
#include <functional>
#include <optional>
#include <tuple>
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
#include "support/scripted_daemon.h"

namespace mq::api {
namespace {

using sorter_request_t = sorter_session_t::request_t;
using sorter_response_t = sorter_session_t::response_t;
using test::entry_request;

// Pages shorter than the queue: a walk sees every entry once, in key order,
// through the final empty page, also among many entries of one due time. A
// limit of 0 asks for the daemon's default page of 100. (An id the daemon
// does not hold, its own error: mqctl's "no entry" rows.)
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
      for (const auto& e : page.entry()) by_client.push_back(e.id());  // their fields: mqctl's listings
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
    std::vector<int> pages = page_limit == 1 ? std::vector<int>(251, 1) : std::vector<int>{100, 100, 51};
    pages.push_back(0);
    EXPECT_EQ(std::tie(stored, pages), std::tie(by_client, client_pages));
    EXPECT_EQ(std::tie(stored, pages), std::tie(by_sorter, sorter_pages));
  }
  EXPECT_EQ(q.spool_dir(), sorter.store_path());
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

// Three requests in flight, answered as `replies` say (see reply_t); what
// each request got: its own answer, its error answer, or nothing (lost).
// An answer to no request in flight, a second answer, or one of another
// kind ends the connection, and nothing after it is delivered.
using test::reply_t;
constexpr int error_answer = reply_t::error_answer;
struct matching_case_t {
  const char* name;
  std::vector<reply_t> replies;
  std::vector<std::string> outcome;  // of requests 1, 2, 3
};

const matching_case_t matching_cases[] = {
    {"out_of_order", {{2}, {0}, {1}}, {"answer", "answer", "answer"}},
    {"error_answers", {{1, 0, error_answer}, {2}, {0, 0, error_answer}}, {"error", "error", "answer"}},
    {"an_unknown_serial", {{1}, {0, 7}, {2}}, {"lost", "answer", "lost"}},
    {"a_second_answer", {{0}, {0}, {1}}, {"answer", "lost", "lost"}},
    {"the_tag_of_another_request", {{1}, {0, 0, 2}, {2}}, {"lost", "answer", "lost"}},
    {"no_serial", {{2, reply_t::no_serial}, {0}}, {"lost", "lost", "lost"}},
};

class matching_test : public ::testing::TestWithParam<matching_case_t> {
 protected:
  using sorter_daemon_t = test::scripted_daemon_t<sorter_request_t, sorter_response_t>;
  using client_daemon_t = test::scripted_daemon_t<client_session_t::request_t, client_session_t::response_t>;
  std::vector<std::vector<reply_t>> steps() const { return {{}, {}, GetParam().replies}; }
  bool fails() const { return std::count(GetParam().outcome.begin(), GetParam().outcome.end(), "lost") > 0; }
  static std::string outcome_of(const std::function<void()>& call) {
    try {
      call();
      return "answer";
    } catch (const connection_error_t&) {
      return "lost";
    } catch (const daemon_error_t&) {
      return "error";
    }
  }
};

// The Sorter socket, pipelined: each answer with the note of its request.
TEST_P(matching_test, sorter_answers_reach_their_requests_or_end_the_connection) {
  sorter_daemon_t daemon(steps());
  sorter_session_t session(daemon.path(), static_cast<int>(test::wait_limit().count()));
  pipeline_t<std::uint64_t> pipeline(session);
  for (const std::uint64_t id : {1, 2, 3}) pipeline.send(entry_request(sorter_request_t::GET_ENTRY_REQUEST, id), id);
  std::vector<std::string> outcome(3, "lost");
  try {
    while (pipeline.in_flight() > 0) {
      const auto [id, answer] = pipeline.receive();
      EXPECT_EQ(id, answer.entry_id());
      outcome.at(id - 1) = answer.tag() == sorter_response_t::ALARM ? "error" : "answer";
    }
  } catch (const connection_error_t&) {
  }
  EXPECT_EQ(GetParam().outcome, outcome);
  EXPECT_TRUE(!fails() || daemon.hung_up());
}

// The client socket on an event loop: each callback called once, with its
// own answer or an error.
TEST_P(matching_test, client_answers_reach_their_callbacks_or_end_the_connection) {
  client_daemon_t daemon(steps());
  boost::asio::io_context io;
  auto client = async_client_t::connect(io, daemon.path(), [](std::exception_ptr) {});
  std::vector<std::string> outcome(3);
  for (const int status : {1, 2, 3}) {
    const auto flush =
        test::parse<async_client_t::request_t>("tag: FLUSH_QUEUE_REQUEST status: " + std::to_string(status));
    client->call(flush, [&, status](util::result_t<async_client_t::response_t> r) {
      EXPECT_EQ("", outcome.at(status - 1));
      outcome.at(status - 1) = outcome_of([&] { EXPECT_EQ(std::to_string(status), util::value_of(r).report()); });
    });
  }
  ASSERT_TRUE(test::run_until(io, [&] { return std::count(outcome.begin(), outcome.end(), "") == 0; }));
  EXPECT_EQ(GetParam().outcome, outcome);
  if (fails()) {
    io.run_for(test::wait_limit());  // the socket closes on the loop's next turn
    EXPECT_TRUE(daemon.hung_up());
  }
  client->close();
}

// One blocking call on either socket, answered as the row's odd reply says.
TEST_P(matching_test, a_call_takes_only_its_own_answer) {
  const auto& replies = GetParam().replies;
  const auto odd = std::find_if(replies.begin(), replies.end(), [](const reply_t& r) { return r.shift || r.tag; });
  reply_t reply = odd == replies.end() ? replies.front() : *odd;
  reply.to = 0;
  const std::string want = reply.shift || reply.tag > 0 ? "lost" : reply.tag ? "error" : "answer";
  sorter_daemon_t sorter_daemon({{reply}});
  client_daemon_t client_daemon({{reply}});
  sorter_session_t sorter(sorter_daemon.path(), static_cast<int>(test::wait_limit().count()));
  client_session_t client(client_daemon.path(), static_cast<int>(test::wait_limit().count()));
  EXPECT_EQ(want, outcome_of([&] {
              sorter.call(entry_request(sorter_request_t::GET_ENTRY_REQUEST, 1), sorter_response_t::GET_ENTRY_RESPONSE);
            }));
  EXPECT_EQ(want, outcome_of([&] { client.flush(SMTP_FRESH); }));
  EXPECT_TRUE(want != "lost" || (sorter_daemon.hung_up() && client_daemon.hung_up()));
}

INSTANTIATE_TEST_SUITE_P(api, matching_test, ::testing::ValuesIn(matching_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A refused connection is a connection_error_t for every call.
TEST(api_async_client, a_refused_connection_fails_each_call) {
  test::temp_dir_t dir;
  boost::asio::io_context io;
  std::optional<util::result_t<async_client_t::response_t>> refused;
  auto nowhere = async_client_t::connect(io, dir.file("no.sock"), [](std::exception_ptr) {});
  nowhere->call(test::parse<async_client_t::request_t>("tag: GET_QUEUE_STAT_REQUEST"),
                [&](util::result_t<async_client_t::response_t> r) { refused = r; });
  ASSERT_TRUE(test::run_until(io, [&] { return refused.has_value(); }));
  EXPECT_THROW(std::rethrow_exception(util::error_of(*refused)), connection_error_t);
}

}  // namespace
}  // namespace mq::api

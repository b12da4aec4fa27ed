// The client library against a running daemon: what a tool relies on.
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
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
#include "util/frame_io.h"

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

// A daemon stand-in on a socket of its own: reads `requests` requests of
// one connection (after the Sorter side's greeting and probe), then sends
// `replies`, each answering one of them (by index) with its serial moved by
// `shift` and its tag, if given, replaced; the answer echoes the request's
// entry id (Sorter) or status (the client report).
constexpr int no_serial = 1000, error_answer = -1;
struct reply_t {
  std::size_t to;
  int shift = 0;
  int tag = 0;  // error_answer: ALARM, or the client's error field
};

template <class request_t, class response_t>
class scripted_daemon_t {
 public:
  static constexpr bool sorter = std::is_same_v<response_t, sorter_response_t>;

  scripted_daemon_t(std::size_t requests, std::vector<reply_t> replies)
      : listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{AF_UNIX, {}};
    path().copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_.get(), 1))
      test::throw_errno("listen");
    thread_ = std::thread([this, requests, replies] {
      const util::unique_fd_t c(::accept(listener_.get(), nullptr, nullptr));
      std::vector<request_t> got(requests + (sorter ? 1 : 0));
      try {
        if constexpr (sorter) {
          response_t greeting;
          greeting.set_tag(response_t::STORE_STATE_NOTIFICATION);
          util::write_frame(c.get(), greeting.SerializeAsString());
          if (!read(c.get(), got[0])) return;
          send(c.get(), got[0], {0, 0, response_t::GET_ENTRY_IDS_RESPONSE});
        }
        for (std::size_t i = sorter ? 1 : 0; i < got.size(); ++i)
          if (!read(c.get(), got[i])) return;
        for (const reply_t& r : replies) send(c.get(), got[got.size() - requests + r.to], r);
        closed_ = !read(c.get(), got[0]);
      } catch (const std::system_error& e) {  // a reset, or a reply after the close
        closed_ = e.code().value() == ECONNRESET || e.code().value() == EPIPE;
      } catch (const std::runtime_error&) {  // still open
      }
    });
  }
  ~scripted_daemon_t() { thread_.join(); }

  std::string path() const { return dir_.file("d.sock"); }
  // Whether the client hung up after the replies without sending more.
  bool hung_up() {
    thread_.join();
    thread_ = std::thread([] {});
    return closed_;
  }

 private:
  static bool read(int sock, request_t& request) {
    std::string body;
    util::unique_fd_t fd;
    return util::read_frame(sock, body, fd, static_cast<int>(test::wait_limit().count())) &&
           request.ParseFromString(body);
  }
  static void send(int sock, const request_t& request, const reply_t& r) {
    response_t m;
    m.set_tag(static_cast<typename response_t::Tag>(r.tag > 0 ? r.tag : static_cast<int>(request.tag())));
    if (r.shift != no_serial) m.set_serial(request.serial() + static_cast<std::uint32_t>(r.shift));
    if constexpr (sorter) {
      m.set_entry_id(request.entry_id());
      if (r.tag == error_answer) m.set_tag(response_t::ALARM), m.mutable_error()->set_code(ov::EC_UNEXPECTED_ERROR);
    } else {
      m.set_report(std::to_string(request.status()));
      if (r.tag == error_answer) m.mutable_error()->set_code(ov::EC_UNEXPECTED_ERROR);
    }
    util::write_frame(sock, m.SerializeAsString());
  }

  test::temp_dir_t dir_;
  util::unique_fd_t listener_;
  std::thread thread_;
  bool closed_ = false;
};

// Three requests in flight, answered as `replies` say; what each request
// got: its own answer, its error answer, or nothing (lost). An answer to no
// request in flight, a second answer, or one of another kind ends the
// connection, and nothing after it is delivered.
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
    {"no_serial", {{2, no_serial}, {0}}, {"lost", "lost", "lost"}},
};

class matching_test : public ::testing::TestWithParam<matching_case_t> {
 protected:
  bool fails() const { return std::count(GetParam().outcome.begin(), GetParam().outcome.end(), "lost") > 0; }
};

// The Sorter socket, pipelined: each answer with the note of its request.
TEST_P(matching_test, sorter_answers_reach_their_requests_or_end_the_connection) {
  scripted_daemon_t<sorter_request_t, sorter_response_t> daemon(3, GetParam().replies);
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
    EXPECT_TRUE(fails());
  }
  EXPECT_EQ(GetParam().outcome, outcome);
  EXPECT_TRUE(!fails() || daemon.hung_up());
}

// The client socket on an event loop: each callback called once, with its
// own answer or an error.
TEST_P(matching_test, client_answers_reach_their_callbacks_or_end_the_connection) {
  scripted_daemon_t<async_client_t::request_t, async_client_t::response_t> daemon(3, GetParam().replies);
  boost::asio::io_context io;
  auto client = async_client_t::connect(io, daemon.path(), [](std::exception_ptr) {});
  std::vector<std::string> outcome(3);
  for (const int status : {1, 2, 3}) {
    async_client_t::request_t flush;
    flush.set_tag(flush.FLUSH_QUEUE_REQUEST);
    flush.set_status(static_cast<Status>(status));
    client->call(flush, [&, status](util::result_t<async_client_t::response_t> r) {
      EXPECT_EQ("", outcome.at(status - 1));
      try {
        EXPECT_EQ(std::to_string(status), util::value_of(r).report());
        outcome.at(status - 1) = "answer";
      } catch (const daemon_error_t&) {
        outcome.at(status - 1) = "error";
      } catch (const connection_error_t&) {
        outcome.at(status - 1) = "lost";
      }
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

INSTANTIATE_TEST_SUITE_P(api, matching_test, ::testing::ValuesIn(matching_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// One blocking call on either socket takes only its own answer; any other
// ends the connection.
TEST(api_sessions, a_call_takes_only_its_own_answer) {
  const auto outcome = [](auto&& call) -> std::string {
    try {
      call();
      return "answer";
    } catch (const connection_error_t&) {
      return "lost";
    } catch (const daemon_error_t&) {
      return "error";
    }
  };
  const std::vector<std::pair<reply_t, std::string>> rows = {{{0}, "answer"},
                                                             {{0, 0, error_answer}, "error"},
                                                             {{0, 1}, "lost"},
                                                             {{0, 0, 2}, "lost"},
                                                             {{0, no_serial}, "lost"}};
  for (const auto& [reply, want] : rows) {
    SCOPED_TRACE(want + " " + std::to_string(reply.shift) + " " + std::to_string(reply.tag));
    scripted_daemon_t<sorter_request_t, sorter_response_t> sorter_daemon(1, {reply});
    scripted_daemon_t<client_session_t::request_t, client_session_t::response_t> client_daemon(1, {reply});
    sorter_session_t sorter(sorter_daemon.path(), static_cast<int>(test::wait_limit().count()));
    client_session_t client(client_daemon.path(), static_cast<int>(test::wait_limit().count()));
    EXPECT_EQ(want, outcome([&] {
                sorter.call(entry_request(sorter_request_t::GET_ENTRY_REQUEST, 1),
                            sorter_response_t::GET_ENTRY_RESPONSE);
              }));
    EXPECT_EQ(want, outcome([&] { client.flush(SMTP_FRESH); }));
    EXPECT_TRUE(want != "lost" || (sorter_daemon.hung_up() && client_daemon.hung_up()));
  }
}

// A refused connection is a connection_error_t for every call.
TEST(api_async_client, a_refused_connection_fails_each_call) {
  test::temp_dir_t dir;
  boost::asio::io_context io;
  std::optional<util::result_t<async_client_t::response_t>> refused;
  auto nowhere = async_client_t::connect(io, dir.file("no.sock"), [](std::exception_ptr) {});
  async_client_t::request_t stat;
  stat.set_tag(async_client_t::request_t::GET_QUEUE_STAT_REQUEST);
  nowhere->call(stat, [&](util::result_t<async_client_t::response_t> r) { refused = r; });
  ASSERT_TRUE(test::run_until(io, [&] { return refused.has_value(); }));
  EXPECT_THROW(std::rethrow_exception(util::error_of(*refused)), connection_error_t);
}

}  // namespace
}  // namespace mq::api

// The Sorter side: one connection on the event loop, driven from the far end
// of a socket pair with real frames and descriptors, and the frame limit.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <google/protobuf/util/message_differencer.h>

#include "net/frame.h"
#include "ov/error.h"
#include "sorter/session.h"
#include "support/fake_store.h"
#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::store::entry_t;
using mq::util::none_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;

// One session on a store that the test answers; the session's greeting
// is read at once.
struct connection_t {
  explicit connection_t(boost::asio::io_context& io)
      : store(io), peer(io), session(std::make_unique<mq::sorter::session_t>(peer.take_socket(), &store)) {
    session->on_end([this] {
      ++disconnects;
      session.reset();
    });
    receive();  // the greeting (its store path: tests/api)
  }
  response_t receive() {
    response_t m;
    EXPECT_TRUE(peer.receive(m));
    return m;
  }

  mq::test::fake_store_t store;
  mq::test::loop_peer_t peer;
  std::unique_ptr<mq::sorter::session_t> session;
  std::size_t disconnects = 0;
};

request_t request(request_t::Tag tag, std::uint32_t serial, std::uint64_t id) {
  request_t m = mq::test::entry_request(tag, id);
  m.set_serial(serial);
  return m;
}

struct sorter_session : ::testing::Test {
  bool run_until(const std::function<bool()>& done) { return mq::test::run_until(io, done); }

  boost::asio::io_context io;
  mq::test::log_capture_t log;
  connection_t c{io};
};

// Responses go out as they happen, failures as alarms; the
// subscription and any late result end with the connection. Descriptors that
// come with gets are closed unread. Parts and samples come with updates and
// go back with gets, less the scan report; the spool file name stays inside.
TEST_F(sorter_session, requests_complete_in_any_order_until_the_connection_or_a_bad_request_ends) {
  mq::test::socket_pair_t pair;
  request_t update = request(request_t::UPDATE_ENTRY_REQUEST, 8, 1);
  mq::MimePart& part = *update.mutable_entry_update()->add_mime_part();
  part = mq::test::parse<mq::MimePart>(
      R"(path: "1.2" scan_report: "not kept" kavren_sample { id: "smp" analysis { params: "prm" id: "an" } })");
  c.peer.send(mq::test::entry_request(request_t::SUBSCRIBE_TO_QUEUE_CHANGES, 0));
  c.peer.send(update);
  for (std::uint32_t serial : {1u, 2u, 3u})
    c.peer.send(request(request_t::GET_ENTRY_REQUEST, serial, serial), pair.b.get());
  pair.b.reset();
  ASSERT_TRUE(run_until([&] { return c.store.gets.size() == 3; }));
  char byte;
  EXPECT_EQ(0, ::recv(pair.a.get(), &byte, 1, MSG_DONTWAIT)) << "a descriptor sent along is still open";

  const std::system_error gone(ENOENT, std::generic_category(), "open");
  c.store.gets[2](mq::util::make_error_result<entry_t>(std::make_exception_ptr(gone)));
  entry_t stored;
  stored.metadata.message_filename = "secret-name.eml";
  stored.metadata.content = c.store.update.content;
  c.store.gets[0](std::move(stored));
  const response_t alarm = c.receive();
  EXPECT_EQ((std::tuple{response_t::ALARM, 3u, ov::EC_NO_SUCH_ENTRY, std::string(gone.what())}),
            (std::tuple{alarm.tag(), alarm.serial(), alarm.error().code(), alarm.error().what()}));
  const response_t got = c.receive();
  EXPECT_EQ(1u, got.serial());
  part.clear_scan_report();
  ASSERT_EQ(1, got.entry().mime_part_size()) << got.DebugString();
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(part, got.entry().mime_part(0))) << got.DebugString();
  EXPECT_EQ(std::string::npos, got.SerializeAsString().find("secret-name"));

  c.peer.close();
  ASSERT_TRUE(run_until([&] { return c.disconnects == 1; }));
  EXPECT_EQ(0u, c.store.own_changes.num_slots());
  c.store.own_changes(std::make_shared<mq::store::queue_change_t>());
  c.store.gets[1](entry_t());

  // Bad requests the process-level table does not send end their connection
  // with the reason logged, and nothing of them reaches the store.
  const auto frame = [](request_t::Tag tag) { return request(tag, 5, 1).SerializeAsString(); };
  // the frames, the line logged, how many requests reach the store
  const std::tuple<std::vector<std::string>, std::string, std::size_t> rows[] = {
      // tag PUT_ENTRY_REQUEST, serial 1, status 9 (outside the enumeration)
      {{std::string("\x08\x02\x10\x01\x20\x09", 6)},
       "Sorter: message mq.Sorter2MailQuarantineMessage tagged PUT_ENTRY_REQUEST does not have field status set",
       0},
      {{std::string("\x08\x07", 2)}, "Sorter: mq.Sorter2MailQuarantineMessage: invalid message format", 0},
      {{frame(request_t::GET_ENTRY_REQUEST), frame(request_t::REMOVE_ENTRY_REQUEST),
        frame(request_t::GET_ENTRY_REQUEST)},
       "Sorter: Repeated request serial",
       2},
  };
  for (const auto& [frames, text, forwarded] : rows) {
    SCOPED_TRACE(text);
    connection_t other(io);
    for (const auto& body : frames) other.peer.send_body(body, mq::test::memory_file_fd("m").get());
    EXPECT_TRUE(other.peer.wait_closed());
    EXPECT_EQ((std::pair<std::size_t, std::size_t>{1, forwarded}),
              (std::pair{other.disconnects, other.store.requests}));
    EXPECT_EQ(1u, log.count(ov::util::logger::error, text)) << ::testing::PrintToString(log.lines());
  }
}

// Large frames are parsed off the loop, and requests behind one wait for it;
// a large entry's answer is built off the loop. Work that holds the loop
// past 100 ms is named.
TEST_F(sorter_session, large_work_leaves_the_loop_and_a_subscriber_that_does_not_read_is_dropped) {
  request_t update = request(request_t::UPDATE_ENTRY_REQUEST, 1, 7);
  for (int i = 0; i < 5000; ++i)
    update.mutable_entry_update()->add_smtp_recipient()->set_recipient(std::string(20, 'r'));
  ASSERT_GT(update.ByteSizeLong(), 64u * 1024u);
  c.store.on_remove = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
  c.peer.send(update);
  c.peer.send(request(request_t::REMOVE_ENTRY_REQUEST, 2, 8));
  ASSERT_TRUE(run_until([&] { return c.store.changed_ids.size() == 2; }));
  EXPECT_EQ((std::tuple<std::vector<std::int64_t>, std::size_t, std::size_t>{{-7, 8}, 5000, 1}),
            (std::tuple{c.store.changed_ids, c.store.update.smtp_recipients.size(), c.store.large_jobs}));
  const char* held = "^Event loop held for [0-9]{3,} ms by REMOVE_ENTRY_REQUEST \\(entry 8\\)$";
  EXPECT_THAT(log.lines(), testing::Contains(testing::ContainsRegex(held)).Times(1));

  // recipients, large jobs so far
  for (const auto& [recipients, large_jobs] : {std::pair{mq::store::loop_row_limit, std::size_t{1}},
                                               std::pair{mq::store::loop_row_limit + 1, std::size_t{2}}}) {
    c.peer.send(request(request_t::GET_ENTRY_REQUEST, static_cast<std::uint32_t>(10 + large_jobs), 9));
    ASSERT_TRUE(run_until([&] { return !c.store.gets.empty(); }));
    entry_t stored;
    stored.metadata.smtp_recipients.resize(recipients, {"to@example", {}});
    c.store.gets.back()(std::move(stored));
    c.store.gets.clear();
    const response_t got = c.receive();
    EXPECT_EQ((std::tuple<std::size_t, std::size_t, std::size_t>{10 + large_jobs, recipients, large_jobs}),
              (std::tuple<std::size_t, std::size_t, std::size_t>{got.serial(), got.entry().smtp_recipient_size(),
                                                                 c.store.large_jobs}));
  }

  // A flush goes out piece by piece as each subscriber reads, every key once
  // and in order, no piece over its limit. One that does not read is dropped
  // when a second change would pile up on the first; the one that reads is
  // answered meanwhile.
  connection_t quiet(io);
  quiet.store.changed = &c.store.own_changes;
  const request_t subscribe = mq::test::entry_request(request_t::SUBSCRIBE_TO_QUEUE_CHANGES, 0);
  c.peer.send(subscribe);
  quiet.peer.send(subscribe);
  ASSERT_TRUE(run_until([&] { return c.store.own_changes.num_slots() == 2; }));
  std::int64_t next_id = 1;
  auto flush = [&] {
    auto change = std::make_shared<mq::store::queue_change_t>();
    change->status = mq::store::smtp_accepted;
    for (std::size_t i = 0; i < mq::sorter::session_t::max_waiting_keys / 2 + 50000; ++i)
      change->keys.push_back({next_id++, 0});
    c.store.own_changes(change);
    std::int64_t heard = change->keys.front().entry_id;
    while (heard < next_id) {
      const response_t m = c.receive();
      ASSERT_TRUE(m.tag() == response_t::QUEUE_CHANGE_NOTIFICATION && m.status() == mq::SMTP_ACCEPTED &&
                  !m.has_serial());
      ASSERT_LE(m.ByteSizeLong(), mq::sorter::session_t::notification_bytes);
      for (const auto& key : m.queue_key_list()) ASSERT_EQ(heard++, static_cast<std::int64_t>(key.entry_id()));
    }
  };
  flush();
  EXPECT_EQ(0u, quiet.disconnects) << "one change of any size is taken";
  flush();
  EXPECT_EQ(1u, quiet.disconnects);
  // What it was sent before, the last frame perhaps cut, then the end.
  EXPECT_FALSE(mq::test::read_until_closed(quiet.peer.fd()).empty());
  EXPECT_EQ(1u, log.count(ov::util::logger::error,
                          "Sorter: queue-change notifications not read, more than 1048576 keys waiting; connection "
                          "of uid " +
                              std::to_string(::getuid()) + " pid " + std::to_string(::getpid()) + " dropped"))
      << ::testing::PrintToString(log.lines());
  c.peer.send(request(request_t::GET_ENTRY_REQUEST, 4, 4));
  ASSERT_TRUE(run_until([&] { return c.store.gets.size() == 1; }));
  c.store.gets[0](entry_t());
  EXPECT_EQ(4u, c.receive().serial());
  EXPECT_EQ(0u, c.disconnects);
}

TEST(frame_limit, the_largest_message_is_framed_and_one_byte_more_is_refused) {
  mq::MailQuarantine2ClientMessage m;
  m.set_tag(mq::MailQuarantine2ClientMessage::FLUSH_QUEUE_RESPONSE);
  m.set_report(std::string(mq::net::max_frame_size - 7, 'r'));  // tag 2, field key 1, length 4 bytes
  ASSERT_EQ(67108864u, m.ByteSizeLong());
  const mq::net::frame_t frame = mq::net::serialize_frame(m);
  EXPECT_EQ(67108864u, frame.size);
  EXPECT_EQ('r', frame.data[frame.size - 1]);
  m.mutable_report()->push_back('r');
  const auto code = [](const mq::net::frame_too_large_t& e) { return e.code().value(); };
  EXPECT_THAT([&] { mq::net::serialize_frame(m); },
              testing::Throws<mq::net::frame_too_large_t>(testing::ResultOf(code, EMSGSIZE)));
}

}  // namespace

// A management-client connection served on the event loop, driven from the
// far end of a socket pair with real frames.
#include <dirent.h>
#include <sys/mman.h>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "client/tie.h"
#include "mail_quarantine_client_ipc.pb.h"
#include "ov/error.h"
#include "ov/logger.h"
#include "support/peers.h"

namespace {

using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;
namespace logger = ov::util::logger;

struct fake_client_delegate_t : mq::client::tie_t::delegate_t {
  template <class T>
  using completion_t = mq::client::tie_t::completion_t<T>;

  void get_queue_stat(completion_t<mq::store::queue_stats_t> done) override {
    if (!tie) ++calls_while_building;
    stats.push_back(std::move(done));
  }
  void get_queue_chunk(mq::store::queue_chunk_request_t request,
                       completion_t<std::vector<mq::store::entry_brief_t>> done) override {
    chunks.push_back({request, std::move(done)});
  }
  void flush_queue(mq::store::status_t status, completion_t<std::string> done) override {
    flushes.push_back({status, std::move(done)});
  }
  void check_health(bool fix, completion_t<std::string> done) override { checks.push_back({fix, std::move(done)}); }
  void on_disconnected() override {
    if (!tie) ++calls_while_building;
    ++disconnects;
    tie.reset();
  }

  std::size_t requests() const { return stats.size() + chunks.size() + flushes.size() + checks.size(); }

  std::unique_ptr<mq::client::tie_t> tie;
  int disconnects = 0;
  int calls_while_building = 0;  // calls before the owner could hold the tie
  std::vector<completion_t<mq::store::queue_stats_t>> stats;
  std::vector<std::pair<mq::store::queue_chunk_request_t, completion_t<std::vector<mq::store::entry_brief_t>>>> chunks;
  std::vector<std::pair<mq::store::status_t, completion_t<std::string>>> flushes;
  std::vector<std::pair<bool, completion_t<std::string>>> checks;
};

request_t request(request_t::Tag tag, std::uint32_t serial) {
  request_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  return m;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

class ClientTie : public ::testing::Test {
 protected:
  void SetUp() override { d.tie = std::make_unique<mq::client::tie_t>(peer.take_socket(), &d); }

  bool run_until(const std::function<bool()>& done) { return mq::test::run_until(io, done); }

  response_t receive() {
    response_t m;
    mq::util::unique_fd_t fd;
    EXPECT_TRUE(peer.receive(m, &fd));
    EXPECT_FALSE(fd) << "a client response never carries a descriptor";
    return m;
  }

  void expect_ended_with(const std::string& text) {
    EXPECT_TRUE(peer.wait_closed());
    EXPECT_EQ(1, d.disconnects);
    EXPECT_EQ(nullptr, d.tie);
    EXPECT_EQ(1u, log.count(logger::error, "Client: " + text)) << ::testing::PrintToString(log.lines());
  }

  boost::asio::io_context io;
  mq::test::log_capture_t log;
  mq::test::loop_peer_t peer{io};
  fake_client_delegate_t d;
};

TEST_F(ClientTie, NothingIsSentUnasked) { EXPECT_TRUE(peer.idle_and_silent()); }

TEST_F(ClientTie, StatisticsArriveByStatus) {
  peer.send(request(request_t::GET_QUEUE_STAT_REQUEST, 9));
  ASSERT_TRUE(run_until([&] { return d.stats.size() == 1; }));
  EXPECT_EQ(1u, log.count(logger::debug, "Client --> GET_QUEUE_STAT_REQUEST"));
  mq::store::queue_stats_t stats;
  for (int i = 0; i < 4; ++i) stats.stats[i] = {static_cast<std::uint64_t>(i + 1), static_cast<std::uint64_t>(100 * i)};
  d.stats[0](stats);
  response_t r = receive();
  EXPECT_EQ(response_t::GET_QUEUE_STAT_RESPONSE, r.tag());
  EXPECT_EQ(9u, r.serial());
  EXPECT_EQ(1u, r.smtp_fresh_stat().total_messages());
  EXPECT_EQ(0u, r.smtp_fresh_stat().total_bytes());
  EXPECT_EQ(2u, r.smtp_accepted_stat().total_messages());
  EXPECT_EQ(100u, r.smtp_accepted_stat().total_bytes());
  EXPECT_EQ(3u, r.bcc_fresh_stat().total_messages());
  EXPECT_EQ(200u, r.bcc_fresh_stat().total_bytes());
  EXPECT_EQ(4u, r.bcc_accepted_stat().total_messages());
  EXPECT_EQ(300u, r.bcc_accepted_stat().total_bytes());
  EXPECT_FALSE(r.has_error());
  EXPECT_EQ(1u, log.count(logger::debug, "Client <-- GET_QUEUE_STAT_RESPONSE"));
}

TEST_F(ClientTie, ChunksCarryEveryBriefField) {
  request_t m = request(request_t::GET_QUEUE_CHUNK_REQUEST, 2);
  m.set_status(mq::SMTP_ACCEPTED);
  m.set_entry_id(10);
  m.set_next_access_ts(20);
  m.set_limit(3);
  peer.send(m);
  request_t first = request(request_t::GET_QUEUE_CHUNK_REQUEST, 3);
  first.set_status(mq::BCC_ACCEPTED);
  peer.send(first);
  ASSERT_TRUE(run_until([&] { return d.chunks.size() == 2; }));
  EXPECT_EQ(10, d.chunks[0].first.entry_id);
  EXPECT_EQ(20u, d.chunks[0].first.next_access_ts);
  EXPECT_EQ(mq::store::smtp_accepted, d.chunks[0].first.status);
  EXPECT_EQ(3u, d.chunks[0].first.limit);
  EXPECT_EQ(0, d.chunks[1].first.entry_id);
  EXPECT_EQ(0u, d.chunks[1].first.next_access_ts);
  EXPECT_EQ(mq::store::bcc_accepted, d.chunks[1].first.status);
  EXPECT_EQ(0u, d.chunks[1].first.limit);

  std::vector<mq::store::entry_brief_t> briefs(2);
  briefs[0] = {11, 2, 20, "sess", "from@example", {"a@example", "b@example"}};
  briefs[1] = {12, 0, 21, "", "", {}};
  d.chunks[0].second(briefs);
  response_t r = receive();
  EXPECT_EQ(response_t::GET_QUEUE_CHUNK_RESPONSE, r.tag());
  EXPECT_EQ(2u, r.serial());
  ASSERT_EQ(2, r.entry_size());
  EXPECT_EQ(11u, r.entry(0).id());
  EXPECT_EQ("from@example", r.entry(0).sender());
  ASSERT_EQ(2, r.entry(0).recipient_size());
  EXPECT_EQ("b@example", r.entry(0).recipient(1));
  EXPECT_EQ(20u, r.entry(0).next_access_ts());
  EXPECT_EQ(2u, r.entry(0).attempts());
  EXPECT_EQ("sess", r.entry(0).session_id());
  EXPECT_EQ(12u, r.entry(1).id());
  EXPECT_TRUE(r.entry(1).has_sender() && r.entry(1).has_session_id() && r.entry(1).has_attempts() &&
              r.entry(1).has_next_access_ts());
  EXPECT_EQ("", r.entry(1).sender());
  EXPECT_EQ("", r.entry(1).session_id());
  EXPECT_EQ(0, r.entry(1).recipient_size());
}

TEST_F(ClientTie, FlushAndCheckAnswerWithTheReport) {
  request_t flush = request(request_t::FLUSH_QUEUE_REQUEST, 4);
  flush.set_status(mq::BCC_FRESH);
  peer.send(flush);
  peer.send(request(request_t::CHECK_HEALTH_REQUEST, 4));  // same serial, another kind
  request_t fix = request(request_t::CHECK_HEALTH_REQUEST, 5);
  fix.set_fix(true);
  peer.send(fix);
  ASSERT_TRUE(run_until([&] { return d.flushes.size() == 1 && d.checks.size() == 2; }));
  EXPECT_EQ(mq::store::bcc_fresh, d.flushes[0].first);
  EXPECT_FALSE(d.checks[0].first);
  EXPECT_TRUE(d.checks[1].first);

  d.checks[1].second(std::string(""));
  response_t r = receive();
  EXPECT_EQ(response_t::CHECK_HEALTH_RESPONSE, r.tag());
  EXPECT_EQ(5u, r.serial());
  EXPECT_TRUE(r.has_report());
  EXPECT_EQ("", r.report());

  d.flushes[0].second(std::string("Flushed 3 entries"));
  r = receive();
  EXPECT_EQ(response_t::FLUSH_QUEUE_RESPONSE, r.tag());
  EXPECT_EQ(4u, r.serial());
  EXPECT_EQ("Flushed 3 entries", r.report());

  d.checks[0].second(std::string("1 orphaned DB records\n"));
  r = receive();
  EXPECT_EQ(response_t::CHECK_HEALTH_RESPONSE, r.tag());
  EXPECT_EQ(4u, r.serial());
  EXPECT_EQ("1 orphaned DB records\n", r.report());
}

TEST_F(ClientTie, FailuresAnswerWithTheRequestsOwnTag) {
  request_t flush = request(request_t::FLUSH_QUEUE_REQUEST, 6);
  flush.set_status(mq::SMTP_FRESH);
  peer.send(flush);
  request_t chunk = request(request_t::GET_QUEUE_CHUNK_REQUEST, 7);
  chunk.set_status(mq::SMTP_FRESH);
  peer.send(chunk);
  ASSERT_TRUE(run_until([&] { return d.flushes.size() == 1 && d.chunks.size() == 1; }));
  d.flushes[0].second(mq::util::make_error_result<std::string>(
      std::make_exception_ptr(std::system_error(EACCES, std::generic_category(), "flush"))));
  response_t r = receive();
  EXPECT_EQ(response_t::FLUSH_QUEUE_RESPONSE, r.tag());
  EXPECT_EQ(6u, r.serial());
  EXPECT_EQ(ov::EC_PERMISSION_DENIED, r.error().code());
  EXPECT_EQ(std::system_error(EACCES, std::generic_category(), "flush").what(), r.error().what());
  EXPECT_FALSE(r.has_report());

  d.chunks[0].second(
      mq::util::make_error_result<std::vector<mq::store::entry_brief_t>>(std::make_exception_ptr(std::bad_alloc())));
  r = receive();
  EXPECT_EQ(response_t::GET_QUEUE_CHUNK_RESPONSE, r.tag());
  EXPECT_EQ(ov::EC_NO_MEMORY, r.error().code());
  EXPECT_EQ("Not enough memory", r.error().what());
  EXPECT_EQ(0, r.entry_size());
}

TEST_F(ClientTie, MissingSerialEndsTheConnection) {
  request_t m;
  m.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  peer.send(m);
  expect_ended_with(
      "Message mq.Client2MailQuarantineMessage tagged GET_QUEUE_STAT_REQUEST: required field serial is not set");
  EXPECT_EQ(0u, d.requests());
}

TEST_F(ClientTie, EveryMissingFieldHasItsText) {
  const std::string prefix = "Message mq.Client2MailQuarantineMessage tagged ";
  std::vector<std::pair<request_t, std::string>> cases;
  request_t m;
  m.set_tag(request_t::GET_QUEUE_CHUNK_REQUEST);
  m.set_status(mq::SMTP_FRESH);
  cases.push_back({m, prefix + "GET_QUEUE_CHUNK_REQUEST: required field serial is not set"});
  m = request(request_t::GET_QUEUE_CHUNK_REQUEST, 1);
  cases.push_back({m, prefix + "GET_QUEUE_CHUNK_REQUEST: required field status is not set"});
  m = request(request_t::FLUSH_QUEUE_REQUEST, 1);
  cases.push_back({m, prefix + "FLUSH_QUEUE_REQUEST: required field status is not set"});
  m.clear_serial();
  cases.push_back({m, prefix + "FLUSH_QUEUE_REQUEST: required field serial is not set"});
  m.Clear();
  m.set_tag(request_t::CHECK_HEALTH_REQUEST);
  m.set_fix(true);
  cases.push_back({m, prefix + "CHECK_HEALTH_REQUEST: required field serial is not set"});
  for (const auto& [message, text] : cases) {
    SCOPED_TRACE(text);
    fake_client_delegate_t delegate;
    mq::test::loop_peer_t far(io);
    delegate.tie = std::make_unique<mq::client::tie_t>(far.take_socket(), &delegate);
    far.send(message);
    EXPECT_TRUE(far.wait_closed());
    EXPECT_EQ(1, delegate.disconnects);
    EXPECT_EQ(0u, delegate.requests());
    EXPECT_EQ(1u, log.count(logger::error, "Client: " + text)) << ::testing::PrintToString(log.lines());
  }
}

TEST_F(ClientTie, AStatusOutsideTheEnumerationCountsAsMissing) {
  // tag FLUSH_QUEUE_REQUEST, serial 1, status 0, by hand.
  peer.send_body(std::string("\x08\x03\x10\x01\x28\x00", 6));
  expect_ended_with(
      "Message mq.Client2MailQuarantineMessage tagged FLUSH_QUEUE_REQUEST: required field status is not set");
}

TEST_F(ClientTie, MalformedFramesEndTheConnection) {
  peer.send_body("\x10\x01");  // no tag
  expect_ended_with("mq.Client2MailQuarantineMessage: invalid message format");
}

TEST_F(ClientTie, RepeatedSerialOfOneKindEndsTheConnection) {
  request_t flush = request(request_t::FLUSH_QUEUE_REQUEST, 8);
  flush.set_status(mq::SMTP_FRESH);
  peer.send(flush);
  peer.send(request(request_t::CHECK_HEALTH_REQUEST, 8));
  ASSERT_TRUE(run_until([&] { return d.flushes.size() == 1 && d.checks.size() == 1; }));
  peer.send(flush);
  expect_ended_with("Repeated request serial");
  EXPECT_EQ(1u, d.flushes.size());
  d.flushes[0].second(std::string("late"));
  d.checks[0].second(std::string("late"));
}

TEST_F(ClientTie, ADisconnectDropsPendingReportsSilently) {
  peer.send(request(request_t::CHECK_HEALTH_REQUEST, 1));
  ASSERT_TRUE(run_until([&] { return d.checks.size() == 1; }));
  peer.close();
  ASSERT_TRUE(run_until([&] { return d.disconnects == 1; }));
  EXPECT_EQ(1u, log.count(logger::debug, "Client: disconnected"));
  const std::size_t lines = log.lines().size();
  d.checks[0].second(std::string("Ok"));
  EXPECT_EQ(lines, log.lines().size());
}

TEST_F(ClientTie, PassedDescriptorsAreClosedUnread) {
  const std::size_t before = open_descriptors();
  for (std::uint32_t serial = 1; serial <= 10; ++serial) {
    const int fd = ::memfd_create("x", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    peer.send(request(request_t::GET_QUEUE_STAT_REQUEST, serial), fd);
    ::close(fd);
  }
  ASSERT_TRUE(run_until([&] { return d.stats.size() == 10; }));
  EXPECT_EQ(before, open_descriptors());
}

// Frames already waiting when the connection object is built are handled
// once its owner holds it.
TEST(ClientTieStart, FramesWaitingAtConstructionWaitForTheOwner) {
  boost::asio::io_context io;
  mq::test::log_capture_t log;
  mq::test::loop_peer_t peer(io);
  fake_client_delegate_t d;
  peer.send(request(request_t::GET_QUEUE_STAT_REQUEST, 1));
  peer.send(request(request_t::GET_QUEUE_STAT_REQUEST, 2));
  request_t bad;
  bad.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  peer.send(bad);
  d.tie = std::make_unique<mq::client::tie_t>(peer.take_socket(), &d);
  ASSERT_TRUE(mq::test::run_until(io, [&] { return d.disconnects == 1; }));
  EXPECT_EQ(0, d.calls_while_building);
  EXPECT_EQ(2u, d.stats.size());
  EXPECT_EQ(nullptr, d.tie);
  EXPECT_EQ(1u, log.count(logger::error,
                          "Client: Message mq.Client2MailQuarantineMessage tagged GET_QUEUE_STAT_REQUEST: required "
                          "field serial is not set"));
}

}  // namespace
